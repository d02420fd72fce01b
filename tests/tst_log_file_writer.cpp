#include "DataColumns.h"

#include "log/LogFileChooser.h"
#include "log/LogFileWriter.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

QByteArray readStream(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    QByteArray out;
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, stream)) > 0)
        out.append(buf, int(n));
    return out;
}

using TimePoint = std::chrono::system_clock::time_point;

// A local wall-clock moment, as the writer's header shows it.
TimePoint localTime(int year, int month, int day, int hour, int minute, int second, int millis)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(millis);
}

// The real naming rule in a temporary directory; counts how often it is asked.
struct DirChooser
{
    QString dir;
    int maxNumbered = LogFileChooser::kMaxNumberedNames;
    std::shared_ptr<int> calls = std::make_shared<int>(0);

    std::string operator()(int year, int month, int day) const
    {
        ++*calls;
        return QFile::encodeName(LogFileChooser::choose(QDate(year, month, day), QDir(dir), maxNumbered))
            .toStdString();
    }
    QString file(const QString& name) const { return QDir(dir).filePath(name); }
};

} // namespace

class TestLogFileWriter : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }

private slots:
    void levelsAndThreshold_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("name"); // empty: not written at threshold 1
        QTest::newRow("0 below threshold") << 0 << "";
        QTest::newRow("-1 below threshold") << -1 << "";
        QTest::newRow("1") << 1 << "DEBUG";
        QTest::newRow("2") << 2 << "INFO";
        QTest::newRow("3") << 3 << "WARN";
        QTest::newRow("4") << 4 << "ERROR";
        QTest::newRow("5") << 5 << "INFO";
    }
    void levelsAndThreshold()
    {
        QFETCH(int, level);
        QFETCH(QString, name);
        const QString file = path(QTest::currentDataTag());
        LogFileWriter w;
        QVERIFY(w.open(file.toLocal8Bit().constData(), 1));
        w.write(level, "app/Widget.cpp", "Widget::slot_logAdded", 42, 0, "%s", "hello");
        const QByteArray content = readAll(file);
        if (name.isEmpty()) {
            QCOMPARE(content, QByteArray());
        } else {
            QVERIFY2(content.contains("<" + name.toLatin1() + ">"), content.constData());
        }
    }

    void levelNamesOutsideRange()
    {
        QCOMPARE(QString(LogFileWriter::levelName(-5)), QString("INFO"));
        QCOMPARE(QString(LogFileWriter::levelName(0)), QString("DEBUG"));
        QCOMPARE(QString(LogFileWriter::levelName(99)), QString("INFO"));
    }

    void lineFormat()
    {
        const QString file = path("format.log");
        LogFileWriter w;
        QVERIFY(w.open(file.toLocal8Bit().constData(), 1));
        w.write(2, "/src/app/Widget.cpp", "Widget::slot_logAdded", 77, 0, "%s",
                "[2026-12-08 10:00:00] 打开串口成功");
        w.write(2, "/src/app/Widget.cpp", "Widget::slot_logAdded", 77, 0, "%s %d", "second", 5);
        const QString content = QString::fromUtf8(readAll(file));
        static const QRegularExpression line(
            QStringLiteral("^\\n\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3} <INFO> "
                           "\\[Widget\\.cpp:Widget::slot_logAdded:77\\] "
                           "\\[0\\] \\[2026-12-08 10:00:00\\] 打开串口成功"
                           "\\n\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2},\\d{3} <INFO> "
                           "\\[Widget\\.cpp:Widget::slot_logAdded:77\\] "
                           "\\[0\\] second 5$"));
        QVERIFY2(line.match(content).hasMatch(), qPrintable(content));
    }

    // The header is put together by hand; it must stay byte for byte what this printf gave.
    void headerMatchesPrintf_data()
    {
        testdata::addColumns<QByteArray, QByteArray, int, int, qint64, QByteArray>(
            "file", "function", "line", "code", "msSinceEpoch", "text");
        const qint64 now = 1796720400123; // 2026-12-08, 123 ms
        QTest::newRow("plain") << QByteArray("/src/a.cpp") << QByteArray("A::f") << 77 << 0 << now
                               << QByteArray("[2026-12-08 10:00:00] 打开串口成功");
        QTest::newRow("no milliseconds")
            << QByteArray("a.cpp") << QByteArray("f") << 1 << 0 << now - 123 << QByteArray("x");
        QTest::newRow("negative numbers")
            << QByteArray("a.cpp") << QByteArray("f") << -5 << -2147483647 - 1 << now << QByteArray("x");
        QTest::newRow("before 1970") << QByteArray("a.cpp") << QByteArray("f") << 1 << 0 << qint64(-1500)
                                     << QByteArray("x");
        QTest::newRow("file name cut at 255") << QByteArray("/d/") + QByteArray(400, 'n') << QByteArray("f")
                                              << 1 << 0 << now << QByteArray("x");
        QTest::newRow("header cut at 1023") << QByteArray("a.cpp") << QByteArray(1500, 'g') << 123456 << 7
                                            << now << QByteArray("after the header");
        QTest::newRow("no function") << QByteArray("a.cpp") << QByteArray() << 1 << 0 << now
                                     << QByteArray("x");
        QTest::newRow("empty text") << QByteArray("a.cpp") << QByteArray("f") << 1 << 0 << now
                                    << QByteArray();
        QTest::newRow("text cut") << QByteArray("a.cpp") << QByteArray("f") << 1 << 0 << now
                                  << QByteArray(3000, 't');
    }
    void headerMatchesPrintf()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, function);
        QFETCH(int, line);
        QFETCH(int, code);
        QFETCH(qint64, msSinceEpoch);
        QFETCH(QByteArray, text);
        const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(msSinceEpoch));
        const char* fn = function.isNull() ? nullptr : function.constData();

        const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
        std::tm local{};
        localtime_r(&seconds, &local);
        const char* base = std::strrchr(file.constData(), '/');
        char shortFile[256];
        std::snprintf(shortFile, sizeof shortFile, "%s", base ? base + 1 : file.constData());
        std::vector<char> expected(2048, '\0');
        int header = std::snprintf(
            expected.data(), 1024, "\n%d-%02d-%02d %02d:%02d:%02d,%03d <%s> [%s:%s:%d] [%d] ",
            local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            int(msSinceEpoch % 1000), "INFO", shortFile, fn ? fn : "", line, code);
        header = std::min(header, 1023);
        std::snprintf(expected.data() + header, expected.size() - std::size_t(header), "%s",
                      text.constData());

        const QString logPath = path("header.log");
        QFile::remove(logPath);
        LogFileWriter w;
        w.setClock([when] { return when; });
        QVERIFY(w.open(logPath.toLocal8Bit().constData(), 0));
        w.write(2, file.constData(), fn, line, code, "%s", text.constData());
        QCOMPARE(readAll(logPath), QByteArray(expected.data()));
    }

    void batchFlushesOnceWithTheSameContent()
    {
        const QString single = path("single.log");
        const QString batched = path("batched.log");
        const auto when = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796720400123));
        LogFileWriter one;
        LogFileWriter many;
        one.setClock([when] { return when; });
        many.setClock([when] { return when; });
        QVERIFY(one.open(single.toLocal8Bit().constData(), 0));
        QVERIFY(many.open(batched.toLocal8Bit().constData(), 0));
        many.beginBatch();
        for (int i = 0; i < 3; ++i) {
            one.write(2, "a.cpp", "f", i, 0, "%s", "line");
            many.write(2, "a.cpp", "f", i, 0, "%s", "line");
        }
        QCOMPARE(readAll(batched), QByteArray()); // held until the batch ends
        many.endBatch();
        QCOMPARE(readAll(batched), readAll(single));
        QCOMPARE(readAll(batched).count("\n"), 3);
        // Outside a batch a line is flushed at once again.
        many.write(2, "a.cpp", "f", 9, 0, "%s", "alone");
        QVERIFY(readAll(batched).endsWith("alone"));
    }

    void backslashPathStaysWhole()
    {
        const QString file = path("backslash.log");
        LogFileWriter w;
        QVERIFY(w.open(file.toLocal8Bit().constData(), 0));
        w.write(2, "C:\\src\\app\\Widget.cpp", "f", 1, 0, "%s", "x");
        QVERIFY(readAll(file).contains("[C:\\src\\app\\Widget.cpp:f:1]"));
    }

    void longLinesAreCut()
    {
        const QString file = path("long.log");
        LogFileWriter w;
        QVERIFY(w.open(file.toLocal8Bit().constData(), 0));
        const std::string text(5000, 'x');
        w.write(2, "a.cpp", "f", 1, 0, "%s", text.c_str());
        const QByteArray content = readAll(file);
        QCOMPARE(content.size(), 2047);
        QVERIFY(content.endsWith("xxxx"));
    }

    void secondOpenKeepsFirstFile()
    {
        const QString first = path("first.log");
        const QString second = path("second.log");
        LogFileWriter w;
        QVERIFY(w.open(first.toLocal8Bit().constData(), 1));
        QVERIFY(w.open(second.toLocal8Bit().constData(), 4));
        w.write(1, "a.cpp", "f", 1, 0, "%s", "still threshold 1");
        QVERIFY(readAll(first).contains("still threshold 1"));
        QVERIFY(!QFile::exists(second));
    }

    void notOpenedWritesNothing()
    {
        LogFileWriter w;
        w.write(4, "a.cpp", "f", 1, 0, "%s", "dropped"); // must simply return
        QVERIFY(true);
    }

    // The line is lost with "open file failed!", the program goes on, and the next
    // write retries: once the directory exists the file is created.
    void unwritablePathRetries()
    {
        const QString dir = path("later");
        const QString file = dir + QStringLiteral("/varnel.log");
        std::FILE* messages = std::tmpfile();
        QVERIFY(messages);
        LogFileWriter w;
        w.setMessageStream(messages);
        QVERIFY(!w.open(file.toLocal8Bit().constData(), 1));
        w.write(2, "a.cpp", "f", 1, 0, "%s", "lost");
        QCOMPARE(readStream(messages), QByteArray("open file failed!\nopen file failed!\n"));
        QVERIFY(QDir().mkpath(dir));
        w.write(2, "a.cpp", "f", 1, 0, "%s", "kept");
        const QByteArray content = readAll(file);
        QVERIFY(content.contains("kept"));
        QVERIFY(!content.contains("lost"));
        std::fclose(messages);
    }

    // A file system that fills up while running: lines are lost and reported, nothing
    // else breaks, and writing resumes once there is room again.
    void fullFileSystem()
    {
        const QString mountPoint = path("small");
        QVERIFY(QDir().mkpath(mountPoint));
        QProcess mount;
        mount.start(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=16k"), QStringLiteral("tmpfs"), mountPoint});
        if (!mount.waitForFinished(5000) || mount.exitCode() != 0)
            QSKIP("mounting a small tmpfs is not permitted here");
        const QString file = mountPoint + QStringLiteral("/varnel.log");
        const QString filler = mountPoint + QStringLiteral("/filler");
        std::FILE* messages = std::tmpfile();
        {
            LogFileWriter w;
            w.setMessageStream(messages);
            QVERIFY(w.open(file.toLocal8Bit().constData(), 0));
            w.write(2, "a.cpp", "f", 1, 0, "%s", "before");
            QFile fill(filler);
            QVERIFY(fill.open(QIODevice::WriteOnly));
            while (fill.write(QByteArray(4096, 'x')) > 0 && fill.flush()) {
            }
            fill.close();
            const std::string line(3000, 'y');
            for (int i = 0; i < 4; ++i)
                w.write(2, "a.cpp", "f", 2, 0, "%s", line.c_str());
            QVERIFY(readStream(messages).contains("write file failed!\n"));
            QVERIFY(QFile::remove(filler));
            w.write(2, "a.cpp", "f", 3, 0, "%s", "after");
            const QByteArray content = readAll(file);
            QVERIFY(content.contains("before"));
            QVERIFY2(content.endsWith("after"), content.right(80).constData());
        }
        std::fclose(messages);
        QProcess::execute(QStringLiteral("umount"), {mountPoint});
    }

    // The first line after midnight closes the old day's file and opens the new
    // day's; a line stamped a few milliseconds into the new day is already there.
    void dailyFileFollowsTheDay_data()
    {
        QTest::addColumn<int>("lastMillis");  // of 23:59:59
        QTest::addColumn<int>("firstMillis"); // of 00:00:00 the next day
        QTest::newRow("tenth either side") << 900 << 100;
        QTest::newRow("edges") << 999 << 5;
    }
    void dailyFileFollowsTheDay()
    {
        QFETCH(int, lastMillis);
        QFETCH(int, firstMillis);
        DirChooser chooser{path(QTest::currentDataTag())};
        QVERIFY(QDir().mkpath(chooser.dir));
        TimePoint now = localTime(2026, 12, 7, 23, 59, 59, lastMillis);
        LogFileWriter w;
        w.setClock([&now] { return now; });
        QVERIFY(w.openDaily(chooser, 1));
        w.write(2, "a.cpp", "f", 1, 0, "%s", "old day");
        now = localTime(2026, 12, 8, 0, 0, 0, firstMillis);
        w.write(2, "a.cpp", "f", 2, 0, "%s", "new day");
        now += std::chrono::seconds(1);
        w.write(2, "a.cpp", "f", 3, 0, "%s", "same new day");

        QCOMPARE(readAll(chooser.file(QStringLiteral("varnelTest20261207.log"))),
                 QByteArray("\n2026-12-07 23:59:59,") +
                     QByteArray::number(lastMillis).rightJustified(3, '0') +
                     " <INFO> [a.cpp:f:1] [0] old day");
        QCOMPARE(readAll(chooser.file(QStringLiteral("varnelTest20261208.log"))),
                 QByteArray("\n2026-12-08 00:00:00,") +
                     QByteArray::number(firstMillis).rightJustified(3, '0') +
                     " <INFO> [a.cpp:f:2] [0] new day"
                     "\n2026-12-08 00:00:01," +
                     QByteArray::number(firstMillis).rightJustified(3, '0') +
                     " <INFO> [a.cpp:f:3] [0] same new day");
        QCOMPARE(*chooser.calls, 2); // once per day, not once per line
        QCOMPARE(QString::fromStdString(w.path()), chooser.file(QStringLiteral("varnelTest20261208.log")));
    }

    void newDayFallsBackToNumberedName()
    {
        DirChooser chooser{path("fallback")};
        QVERIFY(QDir().mkpath(chooser.file(QStringLiteral("varnelTest20261208.log")))); // not a file
        TimePoint now = localTime(2026, 12, 7, 23, 59, 59, 900);
        LogFileWriter w;
        w.setClock([&now] { return now; });
        QVERIFY(w.openDaily(chooser, 1));
        w.write(2, "a.cpp", "f", 1, 0, "%s", "old day");
        now = localTime(2026, 12, 8, 0, 0, 0, 100);
        w.write(2, "a.cpp", "f", 2, 0, "%s", "new day");
        QVERIFY(readAll(chooser.file(QStringLiteral("varnelTest20261207.log"))).endsWith("] [0] old day"));
        QVERIFY(!readAll(chooser.file(QStringLiteral("varnelTest20261207.log"))).contains("new day"));
        QVERIFY(readAll(chooser.file(QStringLiteral("varnelTest20261208(0).log"))).endsWith("] [0] new day"));
    }

    // A day with no usable name loses its lines without a message per line and
    // without asking again; the next day tries again.
    void dayWithoutNameGoesOnWithoutFile()
    {
        DirChooser chooser{path("noname")};
        chooser.maxNumbered = 1;
        QVERIFY(QDir().mkpath(chooser.file(QStringLiteral("varnelTest20261208.log"))));
        QVERIFY(QDir().mkpath(chooser.file(QStringLiteral("varnelTest20261208(0).log"))));
        std::FILE* messages = std::tmpfile();
        QVERIFY(messages);
        TimePoint now = localTime(2026, 12, 7, 23, 59, 59, 900);
        LogFileWriter w;
        w.setMessageStream(messages);
        w.setClock([&now] { return now; });
        QVERIFY(w.openDaily(chooser, 1));
        now = localTime(2026, 12, 8, 0, 0, 0, 100);
        w.write(2, "a.cpp", "f", 1, 0, "%s", "lost 1");
        w.write(2, "a.cpp", "f", 2, 0, "%s", "lost 2");
        QCOMPARE(QString::fromStdString(w.path()), QString());
        QCOMPARE(*chooser.calls, 2);
        now = localTime(2026, 12, 9, 0, 0, 0, 0);
        w.write(2, "a.cpp", "f", 3, 0, "%s", "kept");
        QCOMPARE(*chooser.calls, 3);
        QVERIFY(readAll(chooser.file(QStringLiteral("varnelTest20261209.log"))).endsWith("] [0] kept"));
        QCOMPARE(readStream(messages), QByteArray());
        QCOMPARE(QDir(chooser.dir).entryList(QDir::Files),
                 QStringList(
                     {QStringLiteral("varnelTest20261207.log"), QStringLiteral("varnelTest20261209.log")}));
        std::fclose(messages);
    }

    // A day's file stops at its size limit with one line saying so, also said on the notice
    // stream; what earlier runs wrote counts; the next day's file starts afresh.
    void sizeLimitEndsTheDaysFile()
    {
        DirChooser chooser{path("limit")};
        QVERIFY(QDir().mkpath(chooser.dir));
        const QString today = chooser.file(QStringLiteral("varnelTest20261207.log"));
        QFile earlier(today);
        QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(QByteArray(100, 'x')) == 100);
        earlier.close();
        std::FILE* notices = std::tmpfile();
        QVERIFY(notices);
        TimePoint now = localTime(2026, 12, 7, 10, 0, 0, 0);
        LogFileWriter w;
        w.setNoticeStream(notices);
        w.setClock([&now] { return now; });
        w.setSizeLimit(300);
        QVERIFY(w.openDaily(chooser, 1));
        for (int i = 0; i < 20; ++i)
            w.write(2, "a.cpp", "f", i, 0, "line %d", i);
        const QByteArray content = readAll(today);
        const QByteArray notice = "log file limit of 300 bytes reached: nothing more is written to this file "
                                  "until the next day";
        QVERIFY2(content.endsWith("] [0] " + notice), content.constData());
        QCOMPARE(content.count("line "), 3);       // 100 + 3 lines of 54 bytes; a fourth would pass 300
        QVERIFY(content.lastIndexOf('\n') <= 300); // all but the last line within the limit
        QCOMPARE(readStream(notices), "log file " + QFile::encodeName(today) +
                                          " reached its limit of 300 bytes: nothing more is written to it "
                                          "until the next day\n");
        w.write(2, "a.cpp", "f", 99, 0, "%s", "after");
        QCOMPARE(readAll(today), content);
        now = localTime(2026, 12, 8, 0, 0, 0, 0);
        w.write(2, "a.cpp", "f", 100, 0, "%s", "next day");
        QVERIFY(readAll(chooser.file(QStringLiteral("varnelTest20261208.log"))).endsWith("] [0] next day"));
        std::fclose(notices);
    }

    void sizeLimitTexts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("bytes");
        QTest::newRow("bytes") << QByteArray("500000") << true << qint64(500000);
        QTest::newRow("none") << QByteArray("0") << true << qint64(0);
        QTest::newRow("kibibytes") << QByteArray("300K") << true << qint64(300 * 1024);
        QTest::newRow("mebibytes") << QByteArray("256m") << true << qint64(256) * 1024 * 1024;
        QTest::newRow("gibibytes") << QByteArray("2G") << true << qint64(2) * 1024 * 1024 * 1024;
        QTest::newRow("1 TiB") << QByteArray("1024G") << true << (qint64(1) << 40);
        QTest::newRow("over 1 TiB") << QByteArray("1025G") << false << qint64(0);
        QTest::newRow("digits past any size") << QByteArray("99999999999999999999999") << false << qint64(0);
        QTest::newRow("empty") << QByteArray("") << false << qint64(0);
        QTest::newRow("unit only") << QByteArray("M") << false << qint64(0);
        QTest::newRow("unknown unit") << QByteArray("5X") << false << qint64(0);
        QTest::newRow("negative") << QByteArray("-1") << false << qint64(0);
        QTest::newRow("text after") << QByteArray("5MB") << false << qint64(0);
    }
    void sizeLimitTexts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(qint64, bytes);
        long long parsed = -1;
        QCOMPARE(LogFileWriter::parseSize(text.constData(), &parsed), valid);
        if (valid)
            QCOMPARE(qint64(parsed), bytes);
    }

    // A writer given a fixed path keeps it across midnight.
    void fixedPathDoesNotFollowTheDay()
    {
        const QString file = path("fixed.log");
        TimePoint now = localTime(2026, 12, 7, 23, 59, 59, 900);
        LogFileWriter w;
        w.setClock([&now] { return now; });
        QVERIFY(w.open(file.toLocal8Bit().constData(), 1));
        w.write(2, "a.cpp", "f", 1, 0, "%s", "old day");
        now = localTime(2026, 12, 8, 0, 0, 0, 100);
        w.write(2, "a.cpp", "f", 2, 0, "%s", "new day");
        QCOMPARE(readAll(file), QByteArray("\n2026-12-07 23:59:59,900 <INFO> [a.cpp:f:1] [0] old day"
                                           "\n2026-12-08 00:00:00,100 <INFO> [a.cpp:f:2] [0] new day"));
    }

    // Across midnight every line also lands in the file of the date it shows.
    void concurrentWritesDoNotInterleave_data()
    {
        QTest::addColumn<bool>("acrossMidnight");
        QTest::newRow("fixed path") << false;
        QTest::newRow("across midnight") << true;
    }
    void concurrentWritesDoNotInterleave()
    {
        QFETCH(bool, acrossMidnight);
        DirChooser chooser{path(QTest::currentDataTag())};
        QVERIFY(QDir().mkpath(chooser.dir));
        constexpr int kThreads = 4;
        constexpr int kLines = 500;
        LogFileWriter w;
        if (acrossMidnight) {
            // Each reading is 1 ms later than the one before; midnight falls halfway.
            const TimePoint start = localTime(2026, 12, 7, 23, 59, 59, 0);
            w.setClock([start, ticks = std::make_shared<std::atomic<int>>(0)] {
                return start + std::chrono::milliseconds((*ticks)++);
            });
            QVERIFY(w.openDaily(chooser, 0));
        } else {
            QVERIFY(w.open(QFile::encodeName(chooser.file(QStringLiteral("threads.log"))).constData(), 0));
        }
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&w, t] {
                for (int i = 0; i < kLines; ++i)
                    w.write(2, "a.cpp", "f", t, 0, "thread %d line %d end", t, i);
            });
        for (auto& th : threads)
            th.join();
        const QStringList files = QDir(chooser.dir).entryList(QDir::Files);
        QCOMPARE(files.size(), acrossMidnight ? 2 : 1);
        int total = 0;
        for (const QString& name : files) {
            // "varnelTest20261207.log" holds lines stamped "2026-12-07"
            const QString day = acrossMidnight ? QString(name.mid(10, 8)).insert(6, '-').insert(4, '-')
                                               : QStringLiteral("\\S+");
            const QList<QByteArray> lines = readAll(chooser.file(name)).split('\n');
            QCOMPARE(lines.first(), QByteArray());
            const QRegularExpression shape(
                QStringLiteral("^%1 \\S+ <INFO> \\[a\\.cpp:f:\\d\\] \\[0\\] thread \\d line \\d+ end$")
                    .arg(day));
            for (int i = 1; i < lines.size(); ++i)
                QVERIFY2(shape.match(QString::fromLatin1(lines[i])).hasMatch(), lines[i].constData());
            total += lines.size() - 1;
        }
        QCOMPARE(total, kThreads * kLines);
    }
};

QTEST_GUILESS_MAIN(TestLogFileWriter)
#include "tst_log_file_writer.moc"

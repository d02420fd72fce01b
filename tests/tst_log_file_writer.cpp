#include "log/LogFileWriter.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
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

    void concurrentWritesDoNotInterleave()
    {
        const QString file = path("threads.log");
        LogFileWriter w;
        QVERIFY(w.open(file.toLocal8Bit().constData(), 0));
        constexpr int kThreads = 4;
        constexpr int kLines = 500;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&w, t] {
                for (int i = 0; i < kLines; ++i)
                    w.write(2, "a.cpp", "f", t, 0, "thread %d line %d end", t, i);
            });
        for (auto& th : threads)
            th.join();
        const QList<QByteArray> lines = readAll(file).split('\n');
        QCOMPARE(lines.size(), kThreads * kLines + 1);
        QCOMPARE(lines.first(), QByteArray());
        static const QRegularExpression shape(
            QStringLiteral("^\\S+ \\S+ <INFO> \\[a\\.cpp:f:\\d\\] \\[0\\] thread \\d line \\d+ end$"));
        for (int i = 1; i < lines.size(); ++i)
            QVERIFY2(shape.match(QString::fromLatin1(lines[i])).hasMatch(), lines[i].constData());
    }
};

QTEST_GUILESS_MAIN(TestLogFileWriter)
#include "tst_log_file_writer.moc"

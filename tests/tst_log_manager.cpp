#include "DataColumns.h"

#include "log/Log.h"
#include "log/LogContext.h"
#include "log/LogManager.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Strips the "[yyyy-MM-dd hh:mm:ss] " prefix after checking its shape.
QString message(const QString& paneLine)
{
    static const QRegularExpression prefix(
        QStringLiteral("^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] "));
    const auto m = prefix.match(paneLine);
    if (!m.hasMatch())
        return QStringLiteral("<bad prefix> ") + paneLine;
    return paneLine.mid(m.capturedLength());
}

QStringList messages(const QSignalSpy& spy)
{
    QStringList out;
    for (const auto& args : spy)
        out << message(args.at(0).toString());
    return out;
}

struct Call
{
    QString file = QStringLiteral("device/Device");
    int line = 10;
    QString function = QStringLiteral("Device::Open");
    int level = 1;
    QString text = QStringLiteral("A");
};

void logCall(LogManager& m, const Call& c)
{
    m.log(c.file, c.line, c.function, c.level, c.text);
}

} // namespace

class TestLogManager : public QObject
{
    Q_OBJECT

private slots:
    // breakAfter: breakRepeatRun() after that many calls of A (-1: never), as a typed command does.
    void folding_data()
    {
        QTest::addColumn<int>("repeats");
        QTest::addColumn<int>("breakAfter");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("once") << 1 << -1 << QStringList{"A", "B"};
        QTest::newRow("twice") << 2 << -1 << QStringList{"A", "A - repeat times[2]", "B"};
        QTest::newRow("three times") << 3 << -1 << QStringList{"A", "A - repeat times[3]", "B"};
        QTest::newRow("break before the first") << 2 << 0 << QStringList{"A", "A - repeat times[2]", "B"};
        QTest::newRow("break after one") << 3 << 1 << QStringList{"A", "A", "A - repeat times[2]", "B"};
        QTest::newRow("break summarises the run")
            << 4 << 3 << QStringList{"A", "A - repeat times[3]", "A", "B"};
        QTest::newRow("break at the end") << 2 << 2 << QStringList{"A", "A - repeat times[2]", "B"};
    }
    void folding()
    {
        QFETCH(int, repeats);
        QFETCH(int, breakAfter);
        QFETCH(QStringList, expected);
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call a;
        for (int i = 0; i < repeats; ++i) {
            if (i == breakAfter)
                m.breakRepeatRun();
            logCall(m, a);
        }
        if (breakAfter == repeats)
            m.breakRepeatRun();
        Call b = a;
        b.text = QStringLiteral("B");
        logCall(m, b);
        QCOMPARE(messages(spy), expected);
    }

    // A flood: past `limit` lines in a second, calls are counted by message, and each message
    // shows once with its count at the next second's first call or at a break. newSecondAt: the
    // call before which the test waits for the next second (-1: none).
    void floodFolding_data()
    {
        // expected: a break comes after the calls
        testdata::addColumns<int, QStringList, int, QStringList>("limit", "calls", "newSecondAt", "expected");
        QTest::newRow("within the limit")
            << 3 << QStringList{"a", "b", "c"} << -1 << QStringList{"a", "b", "c"};
        QTest::newRow("past the limit")
            << 3 << QStringList{"a", "b", "c", "d", "e", "d", "e", "f"} << -1
            << QStringList{"a", "b", "c", "d - repeat times[2]", "e - repeat times[2]", "f"};
        QTest::newRow("repeats do not count")
            << 2 << QStringList{"x", "x", "x", "y", "z", "z"} << -1
            << QStringList{"x", "x - repeat times[3]", "y", "z - repeat times[2]"};
        QTest::newRow("a run the flood cuts") << 2 << QStringList{"x", "y", "y", "y", "z"} << -1
                                              << QStringList{"x", "y", "y - repeat times[3]", "z"};
        QTest::newRow("the next second tells and shows again")
            << 2 << QStringList{"a", "b", "c", "c", "d", "e", "f"} << 4
            << QStringList{"a", "b", "c - repeat times[2]", "d", "e", "f"};
        QStringList many{"a"};
        QStringList told{"a"};
        for (int i = 0; i < LogManager::kMaxFoldedMessages + 6; ++i) {
            many << QStringLiteral("m%1").arg(i);
            if (i < LogManager::kMaxFoldedMessages)
                told << QStringLiteral("m%1").arg(i);
        }
        told << QStringLiteral("6 more log lines of a flood left out");
        QTest::newRow("more messages than are counted") << 1 << many << -1 << told;
    }
    void floodFolding()
    {
        QFETCH(int, limit);
        QFETCH(QStringList, calls);
        QFETCH(int, newSecondAt);
        QFETCH(QStringList, expected);
        const auto waitForNextSecond = [] {
            const qint64 ms = QDateTime::currentMSecsSinceEpoch();
            std::this_thread::sleep_for(std::chrono::milliseconds(1000 - ms % 1000 + 20));
        };
        // The calls before a new second all fall into one: they take far less than 300 ms.
        if (QDateTime::currentMSecsSinceEpoch() % 1000 > 700)
            waitForNextSecond();
        LogManager m;
        m.setFloodLines(limit);
        QSignalSpy spy(&m, &LogManager::logAdded);
        for (int i = 0; i < calls.size(); ++i) {
            if (i == newSecondAt)
                waitForNextSecond();
            Call c;
            c.text = calls.at(i);
            logCall(m, c);
        }
        m.breakRepeatRun();
        QCOMPARE(messages(spy), expected);
    }

    // Each unit folds its own repeats: another unit's line between them breaks nothing, and a
    // run ends only with a different line of the same unit (or a typed command).
    void unitsFoldTheirOwnRuns()
    {
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call a;
        Call b = a;
        b.text = QStringLiteral("B");
        {
            const LogContext::Scope unit(QStringLiteral("[unit 1] "));
            logCall(m, a);
        }
        {
            const LogContext::Scope unit(QStringLiteral("[unit 2] "));
            logCall(m, a);
        }
        for (int i = 0; i < 2; ++i) {
            const LogContext::Scope unit(QStringLiteral("[unit 1] "));
            logCall(m, a);
        }
        {
            const LogContext::Scope unit(QStringLiteral("[unit 2] "));
            logCall(m, b);
        }
        {
            const LogContext::Scope unit(QStringLiteral("[unit 1] "));
            logCall(m, b);
        }
        m.breakRepeatRun();
        QCOMPARE(messages(spy), (QStringList{"[unit 1] A", "[unit 2] A", "[unit 2] B",
                                             "[unit 1] A - repeat times[3]", "[unit 1] B"}));
    }

    // A break with runs pending in many units shows their summaries in the order of the units'
    // prefixes as text, whatever order the lines came in.
    void breakSummarisesUnitsInPrefixOrder()
    {
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call a;
        std::vector<std::pair<QString, int>> runs;
        for (int unit = 12; unit >= 1; --unit) {
            const QString prefix = QStringLiteral("[unit %1] ").arg(unit);
            runs.emplace_back(prefix, unit + 1);
            const LogContext::Scope scope(prefix);
            for (int i = 0; i < unit + 1; ++i)
                logCall(m, a);
        }
        spy.clear();
        m.breakRepeatRun();
        std::sort(runs.begin(), runs.end());
        QStringList expected;
        for (const auto& run : runs)
            expected << QStringLiteral("%1A - repeat times[%2]").arg(run.first).arg(run.second);
        QCOMPARE(messages(spy), expected);
        QCOMPARE(expected.first(), QStringLiteral("[unit 10] A - repeat times[11]"));
        QCOMPARE(expected.at(3), QStringLiteral("[unit 1] A - repeat times[2]"));
    }

    // Each typed command shows its line, however often the same one is typed.
    void breakShowsEveryRepeat()
    {
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call a;
        for (int i = 0; i < 3; ++i) {
            m.breakRepeatRun();
            logCall(m, a);
        }
        QCOMPARE(messages(spy), (QStringList{"A", "A", "A"}));
    }

    void differingKeyIsNoRepeat_data()
    {
        QTest::addColumn<int>("field");
        QTest::newRow("file") << 0;
        QTest::newRow("line") << 1;
        QTest::newRow("function") << 2;
        QTest::newRow("level") << 3;
        QTest::newRow("message case") << 4;
    }
    void differingKeyIsNoRepeat()
    {
        QFETCH(int, field);
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call a;
        Call b = a;
        switch (field) {
        case 0:
            b.file = QStringLiteral("service/SetupService");
            break;
        case 1:
            b.line = 11;
            break;
        case 2:
            b.function = QStringLiteral("Device::Close");
            break;
        case 3:
            b.level = 0;
            break;
        default:
            b.text = QStringLiteral("a");
            break;
        }
        for (int i = 0; i < 3; ++i) {
            logCall(m, a);
            logCall(m, b);
        }
        QCOMPARE(spy.count(), 6);
    }

    void emptyMessagesAreNeverRepeats()
    {
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call c;
        c.text.clear();
        logCall(m, c);
        logCall(m, c);
        QCOMPARE(messages(spy), (QStringList{"", ""}));
    }

    void pendingRunIsNotSummarisedUntilDifferentCall()
    {
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        Call a;
        for (int i = 0; i < 5; ++i)
            logCall(m, a);
        QCOMPARE(messages(spy), QStringList{"A"});
    }

    void paneLineCarriesCurrentTime()
    {
        LogManager m;
        QSignalSpy spy(&m, &LogManager::logAdded);
        const QDateTime before = QDateTime::currentDateTime();
        logCall(m, Call());
        const QString line = spy.at(0).at(0).toString();
        const QDateTime stamp = QDateTime::fromString(line.mid(1, 19), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(stamp.isValid());
        QVERIFY(qAbs(stamp.secsTo(before)) <= 1);
    }

    void qualifiedFunctionNames_data()
    {
        QTest::addColumn<QString>("pretty");
        QTest::addColumn<QString>("expected");
        QTest::newRow("method") << "bool Device::SendData(bool, unsigned char, Data*, int)"
                                << "Device::SendData";
        QTest::newRow("constructor") << "Widget::Widget(QWidget*)"
                                     << "Widget::Widget";
        QTest::newRow("pointer return") << "static LogManager* LogManager::instance()"
                                        << "LogManager::instance";
        QTest::newRow("template return") << "std::map<int, int> Foo::bar() const"
                                         << "Foo::bar";
        QTest::newRow("free function") << "int main(int, char**)"
                                       << "main";
    }
    void qualifiedFunctionNames()
    {
        QFETCH(QString, pretty);
        QFETCH(QString, expected);
        QCOMPARE(qualifiedFunctionName(pretty.toUtf8().constData()), expected);
    }

    void macroPassesThisFunction()
    {
        QSignalSpy spy(LogManager::instance(), &LogManager::logAdded);
        VLOG(1, QStringLiteral("from the macro %1").arg(7));
        QCOMPARE(messages(spy), QStringList{"from the macro 7"});
        QCOMPARE(qualifiedFunctionName(Q_FUNC_INFO),
                 QStringLiteral("TestLogManager::macroPassesThisFunction"));
    }

    void instanceIsOneObjectAcrossThreads()
    {
        std::vector<LogManager*> seen(8, nullptr);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < seen.size(); ++i)
            threads.emplace_back([&seen, i] { seen[i] = LogManager::instance(); });
        for (auto& t : threads)
            t.join();
        for (LogManager* p : seen)
            QCOMPARE(p, LogManager::instance());
    }

    // Several threads log at once: every distinct call shows once and every run of
    // repeats is accounted for, so the folding state never tears.
    void concurrentCallersLoseNothing()
    {
        LogManager m;
        QStringList lines;
        std::mutex linesMutex;
        connect(
            &m, &LogManager::logAdded, &m,
            [&](const QString& l) {
                std::lock_guard<std::mutex> lock(linesMutex);
                lines << message(l);
            },
            Qt::DirectConnection);
        constexpr int kThreads = 4;
        constexpr int kCalls = 2000;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&m, t] {
                for (int i = 0; i < kCalls; ++i)
                    m.log(QStringLiteral("f"), t, QStringLiteral("g"), 1,
                          QStringLiteral("t%1 #%2").arg(t).arg(i));
            });
        }
        for (auto& th : threads)
            th.join();
        QCOMPARE(lines.size(), kThreads * kCalls);
        QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), kThreads * kCalls);
    }

    void concurrentRepeatsAddUp()
    {
        LogManager m;
        int total = 0;
        std::mutex mutex;
        connect(
            &m, &LogManager::logAdded, &m,
            [&](const QString& l) {
                const QString text = message(l);
                std::lock_guard<std::mutex> lock(mutex);
                const int at = text.indexOf(QStringLiteral(" - repeat times["));
                if (at < 0) {
                    ++total; // a shown call
                } else {
                    total += text.mid(at + 16).chopped(1).toInt() - 1; // the shown one is counted already
                }
            },
            Qt::DirectConnection);
        constexpr int kThreads = 4;
        constexpr int kCalls = 3000;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&m, t] {
                for (int i = 0; i < kCalls; ++i)
                    m.log(QStringLiteral("f"), t % 2, QStringLiteral("g"), 1, QStringLiteral("same"));
            });
        }
        for (auto& th : threads)
            th.join();
        m.log(QStringLiteral("f"), 99, QStringLiteral("g"), 1, QStringLiteral("end")); // flushes the last run
        QCOMPARE(total, kThreads * kCalls + 1);
    }
};

QTEST_GUILESS_MAIN(TestLogManager)
#include "tst_log_manager.moc"

#include "FrameTestSupport.h"

#include "journal/Journal.h"

#include <QtTest>

#include <atomic>
#include <thread>

using frametest::frameBytes;

namespace {

JournalEvent frameEvent(JournalEvent::Type type, std::uint8_t command)
{
    JournalEvent event;
    event.type = type;
    event.bytes = frameBytes(command);
    return event;
}

bool isFault(const JournalEvent& event)
{
    return event.type == JournalEvent::Type::Fault;
}

} // namespace

// A unit's journal read by other threads: waiting for events, waking the waiters, clearing.
class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    // A reader blocked on an empty journal is released by another thread's append, with
    // exactly the events after its seq.
    void waitIsReleasedByAnAppend()
    {
        Journal journal;
        journal.append(JournalEvent::Type::Line, {});
        std::vector<JournalEvent> got;
        std::thread reader([&] { got = journal.waitSince(1, 10, Journal::Filter(), 20000); });
        QTRY_COMPARE(journal.waiting(), 1);
        std::thread unit([&] { journal.append(frameEvent(JournalEvent::Type::Request, 0x02)); });
        unit.join();
        reader.join();
        QCOMPARE(journal.waiting(), 0);
        QCOMPARE(got.size(), std::size_t(1));
        QCOMPARE(got.front().seq, std::uint64_t(2));
        QCOMPARE(got.front().bytes, frameBytes(0x02));
        // Events already there are answered without waiting, up to the limit.
        journal.append(JournalEvent::Type::Line, {});
        QCOMPARE(journal.waitSince(0, 2, Journal::Filter(), 20000).size(), std::size_t(2));
    }

    // Events the filter refuses leave the reader waiting; the first one it takes releases it,
    // and only the taken ones come back.
    void waitIsReleasedByAMatchingAppendOnly()
    {
        Journal journal;
        std::atomic<bool> done{false};
        std::vector<JournalEvent> got;
        std::thread reader([&] {
            got = journal.waitSince(0, 10, isFault, 20000);
            done = true;
        });
        QTRY_COMPARE(journal.waiting(), 1);
        std::thread unit([&] {
            for (int i = 0; i < 50; ++i)
                journal.append(frameEvent(JournalEvent::Type::Request, 0x04));
        });
        unit.join();
        QTest::qWait(50);
        QVERIFY(!done);
        QTRY_COMPARE(journal.waiting(), 1);
        std::thread faulting([&] {
            journal.append(frameEvent(JournalEvent::Type::Request, 0x04));
            journal.append(JournalEvent::Type::Fault,
                           {{QStringLiteral("rule"), QStringLiteral("get-time:drop")}});
        });
        faulting.join();
        reader.join();
        QCOMPARE(got.size(), std::size_t(1));
        QCOMPARE(got.front().seq, std::uint64_t(52));
        QCOMPARE(int(got.front().type), int(JournalEvent::Type::Fault));
    }

    void waitEndsAtItsTimeout()
    {
        Journal journal;
        journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(journal.waitSince(1, 10, Journal::Filter(), 60).empty());
        QVERIFY(timer.elapsed() >= 55);
        QVERIFY(journal.waitSince(0, 10, isFault, 30).empty());
        QVERIFY(journal.waitSince(0, 10, isFault, -5).empty());
        QCOMPARE(journal.waiting(), 0);
    }

    // A server stopping releases every waiter at once; later waits answer at once until
    // waits are allowed again.
    void wakeWaitersReleasesEveryWaiter()
    {
        Journal journal;
        std::atomic<int> released{0};
        std::vector<std::thread> readers;
        for (int i = 0; i < 3; ++i)
            readers.emplace_back([&] {
                if (journal.waitSince(0, 10, Journal::Filter(), 60000).empty())
                    ++released;
            });
        QTRY_COMPARE(journal.waiting(), 3);
        std::thread([&] { journal.wakeWaiters(); }).join();
        for (std::thread& reader : readers)
            reader.join();
        QCOMPARE(released.load(), 3);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(journal.waitSince(0, 10, Journal::Filter(), 60000).empty());
        QVERIFY(timer.elapsed() < 30000);
        journal.append(JournalEvent::Type::Line, {});
        QCOMPARE(journal.waitSince(0, 10, Journal::Filter(), 60000).size(), std::size_t(1));

        journal.allowWaits();
        std::vector<JournalEvent> got;
        std::thread reader([&] { got = journal.waitSince(1, 10, Journal::Filter(), 20000); });
        QTRY_COMPARE(journal.waiting(), 1);
        journal.append(JournalEvent::Type::Line, {});
        reader.join();
        QCOMPARE(got.size(), std::size_t(1));
    }

    // Clearing drops the kept events but not the numbering, so a reader's seq stays right
    // and a waiter across the clear gets the next event.
    void clearKeepsTheNumbering()
    {
        Journal journal;
        for (int i = 0; i < 3; ++i)
            journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        std::vector<JournalEvent> got;
        std::thread reader([&] { got = journal.waitSince(3, 10, Journal::Filter(), 20000); });
        QTRY_COMPARE(journal.waiting(), 1);
        journal.clear();
        QCOMPARE(journal.size(), std::size_t(0));
        QCOMPARE(journal.firstSeq(), std::uint64_t(0));
        QCOMPARE(journal.lastSeq(), std::uint64_t(3));
        QVERIFY(journal.since(0).empty());
        QCOMPARE(journal.append(frameEvent(JournalEvent::Type::Reply, 0x02)), std::uint64_t(4));
        reader.join();
        QCOMPARE(got.size(), std::size_t(1));
        QCOMPARE(got.front().seq, std::uint64_t(4));
        QCOMPARE(journal.since(0).front().seq, std::uint64_t(4));
        QCOMPARE(journal.since(3).size(), std::size_t(1));
        QVERIFY(journal.since(4).empty());
        QCOMPARE(journal.firstSeq(), std::uint64_t(4));
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"

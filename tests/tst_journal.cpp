#include "FrameTestSupport.h"

#include "journal/EventFeed.h"
#include "journal/Journal.h"
#include "journal/UnitMetrics.h"

#include <QtTest>

#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <map>
#include <memory>
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

JournalEvent reply(std::uint8_t command, qint64 latencyUs)
{
    JournalEvent event = frameEvent(JournalEvent::Type::Reply, command);
    event.latencyUs = latencyUs;
    return event;
}

// Pulls until `count` lines came or the subscription closed; the lines' (unit, seq) pairs.
std::vector<std::pair<int, std::uint64_t>> pull(EventSubscription& subscription, std::size_t count)
{
    std::vector<std::pair<int, std::uint64_t>> got;
    while (got.size() < count) {
        const EventSubscription::Batch batch = subscription.next(10000, 64);
        for (const QByteArray& line : batch.lines) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            got.emplace_back(object.value(QStringLiteral("unit")).toInt(),
                             std::uint64_t(object.value(QStringLiteral("seq")).toDouble()));
        }
        if (batch.closed || (batch.lines.empty() && !batch.lost))
            break;
    }
    return got;
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
        QCOMPARE(journal.waitSince(0, 0, Journal::Filter(), 60000).size(), std::size_t(0)); // nothing asked
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

    // A filtered read of a long journal, looked at a slice at a time, finds exactly the events
    // it would in one look, also while the unit appends.
    void filteredReadsCrossSlices()
    {
        Journal journal;
        const auto appendRun = [&](int count) {
            for (int i = 0; i < count; ++i)
                journal.append(journal.lastSeq() % 1000 == 999 ? JournalEvent::Type::Fault
                                                               : JournalEvent::Type::Line,
                               {});
        };
        appendRun(7000);
        std::vector<std::uint64_t> seqs;
        for (const JournalEvent& event : journal.since(0, 100, isFault))
            seqs.push_back(event.seq);
        QCOMPARE(seqs, (std::vector<std::uint64_t>{1000, 2000, 3000, 4000, 5000, 6000, 7000}));
        const std::vector<JournalEvent> two = journal.since(2500, 2, isFault);
        QCOMPARE(two.size(), std::size_t(2));
        QCOMPARE(two.back().seq, std::uint64_t(4000));
        QCOMPARE(journal.waitSince(6500, 10, isFault, 0).front().seq, std::uint64_t(7000));

        std::thread unit([&] { appendRun(20000); });
        for (int read = 0; read < 20; ++read) {
            std::uint64_t last = 0;
            for (const JournalEvent& event : journal.since(0, 1000, isFault)) {
                QVERIFY(isFault(event) && event.seq > last && event.seq % 1000 == 0);
                last = event.seq;
            }
        }
        unit.join();
        QCOMPARE(journal.since(0, 1000, isFault).size(), std::size_t(27));
    }

    // A fixed run of events on two units gives exactly this scrape: each family's HELP and
    // TYPE once, commands by name (an unknown code by number), cumulative buckets.
    void metricsExposition()
    {
        Journal journal;
        UnitMetrics metrics;
        journal.setCapacity(2); // counted as appended: the bound loses none
        journal.addObserver([&metrics](const JournalEvent& event) { metrics.observe(event); });
        journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        journal.append(reply(0x02, 50));
        journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        journal.append(reply(0x02, 700));
        journal.append(frameEvent(JournalEvent::Type::Request, 0x0C));
        journal.append(reply(0x0C, 1000)); // on a bound: in its bucket
        for (int i = 0; i < 2; ++i)
            journal.append(frameEvent(JournalEvent::Type::Record, 0x0C));
        JournalEvent discard;
        discard.type = JournalEvent::Type::Discard;
        discard.bytes = QByteArray("\x01\x02\x03", 3);
        journal.append(discard);
        journal.append(JournalEvent::Type::Fault,
                       {{QStringLiteral("rule"), QStringLiteral("get-time:drop")}});
        journal.append(frameEvent(JournalEvent::Type::Request, 0x63));
        journal.append(reply(0x02, -1)); // latency unknown: not in the histogram
        journal.append(reply(0x02, 6000000));
        journal.append(JournalEvent::Type::StateReset, {});
        journal.clear(); // a reset keeps the counts
        // What was not written as handed over is counted beside the journal, not in it.
        metrics.noteWithheld(UnitMetrics::Withheld::Dropped, 0x02);
        metrics.noteWithheld(UnitMetrics::Withheld::Dropped, 0x02);
        metrics.noteWithheld(UnitMetrics::Withheld::Delayed, 0x0C);
        metrics.noteWithheld(UnitMetrics::Withheld::Held, 0x02);
        UnitMetrics idle;
        const QByteArray text = UnitMetrics::exposition({{1, &metrics}, {3, &idle}});
        const QByteArray expected = R"(# HELP varnel_frames_received_total Request frames cut from the line.
# TYPE varnel_frames_received_total counter
varnel_frames_received_total{unit="1",command="get-time"} 2
varnel_frames_received_total{unit="1",command="get-file-records"} 1
varnel_frames_received_total{unit="1",command="99"} 1
# HELP varnel_frames_sent_total Reply and record frames written to the line.
# TYPE varnel_frames_sent_total counter
varnel_frames_sent_total{unit="1",command="get-time"} 4
varnel_frames_sent_total{unit="1",command="get-file-records"} 3
# HELP varnel_frames_dropped_total Reply and record frames never written: dropped by a fault rule or a cut upload, refused by a full held-back queue, let go while held back, or the line was closed.
# TYPE varnel_frames_dropped_total counter
varnel_frames_dropped_total{unit="1",command="get-time"} 2
# HELP varnel_frames_delayed_total Reply and record frames a fault rule of their own delayed or split; sent once written.
# TYPE varnel_frames_delayed_total counter
varnel_frames_delayed_total{unit="1",command="get-file-records"} 1
# HELP varnel_frames_held_total Reply and record frames written late only behind a delayed one; sent once written.
# TYPE varnel_frames_held_total counter
varnel_frames_held_total{unit="1",command="get-time"} 1
# HELP varnel_faults_fired_total Fault rules fired.
# TYPE varnel_faults_fired_total counter
varnel_faults_fired_total{unit="1"} 1
varnel_faults_fired_total{unit="3"} 0
# HELP varnel_discarded_bytes_total Received bytes that were no frame.
# TYPE varnel_discarded_bytes_total counter
varnel_discarded_bytes_total{unit="1"} 3
varnel_discarded_bytes_total{unit="3"} 0
# HELP varnel_records_uploaded_total Record frames of uploads written to the line.
# TYPE varnel_records_uploaded_total counter
varnel_records_uploaded_total{unit="1"} 2
varnel_records_uploaded_total{unit="3"} 0
# HELP varnel_reply_latency_seconds From a request's last byte to its reply's write to the line.
# TYPE varnel_reply_latency_seconds histogram
varnel_reply_latency_seconds_bucket{unit="1",le="0.0001"} 1
varnel_reply_latency_seconds_bucket{unit="1",le="0.0005"} 1
varnel_reply_latency_seconds_bucket{unit="1",le="0.001"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="0.005"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="0.01"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="0.05"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="0.1"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="0.5"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="1"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="5"} 3
varnel_reply_latency_seconds_bucket{unit="1",le="+Inf"} 4
varnel_reply_latency_seconds_sum{unit="1"} 6.00175
varnel_reply_latency_seconds_count{unit="1"} 4
varnel_reply_latency_seconds_bucket{unit="3",le="0.0001"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.0005"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.001"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.005"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.01"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.05"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.1"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="0.5"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="1"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="5"} 0
varnel_reply_latency_seconds_bucket{unit="3",le="+Inf"} 0
varnel_reply_latency_seconds_sum{unit="3"} 0
varnel_reply_latency_seconds_count{unit="3"} 0
# HELP varnel_command_reply_latency_seconds From a request's last byte to its reply's hand-over, by command.
# TYPE varnel_command_reply_latency_seconds histogram
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.0001"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.0005"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.001"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.005"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.01"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.05"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.1"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="0.5"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="1"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="5"} 2
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-time",le="+Inf"} 3
varnel_command_reply_latency_seconds_sum{unit="1",command="get-time"} 6.00075
varnel_command_reply_latency_seconds_count{unit="1",command="get-time"} 3
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.0001"} 0
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.0005"} 0
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.001"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.005"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.01"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.05"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.1"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="0.5"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="1"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="5"} 1
varnel_command_reply_latency_seconds_bucket{unit="1",command="get-file-records",le="+Inf"} 1
varnel_command_reply_latency_seconds_sum{unit="1",command="get-file-records"} 0.001
varnel_command_reply_latency_seconds_count{unit="1",command="get-file-records"} 1
)";
        const QList<QByteArray> got = text.split('\n');
        const QList<QByteArray> want = expected.split('\n');
        for (int i = 0; i < std::min(got.size(), want.size()); ++i)
            QCOMPARE(got[i], want[i]);
        QCOMPARE(got.size(), want.size());
        QCOMPARE(QByteArray(UnitMetrics::contentType()),
                 QByteArray("text/plain; version=0.0.4; charset=utf-8"));
    }

    void labelValueEscaping_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QByteArray>("escaped");
        QTest::newRow("plain") << QStringLiteral("get-time") << QByteArray("get-time");
        QTest::newRow("quote") << QStringLiteral("a\"b") << QByteArray("a\\\"b");
        QTest::newRow("backslash") << QStringLiteral("a\\b") << QByteArray("a\\\\b");
        QTest::newRow("newline") << QStringLiteral("a\nb") << QByteArray("a\\nb");
        QTest::newRow("all three") << QStringLiteral("\"\\\n\\\"") << QByteArray("\\\"\\\\\\n\\\\\\\"");
        QTest::newRow("utf-8 kept") << QStringLiteral("扳手\t1") << QByteArray("扳手\t1");
        QTest::newRow("empty") << QString() << QByteArray();
    }

    void labelValueEscaping()
    {
        QFETCH(QString, value);
        QFETCH(QByteArray, escaped);
        QCOMPARE(UnitMetrics::escapeLabelValue(value), escaped);
    }

    // Two units appending on threads of their own, two readers pulling on theirs: each reader
    // gets every event once, in order per unit.
    void feedDeliversEveryEventInOrderPerUnit()
    {
        constexpr std::size_t kPerUnit = 2000;
        EventFeed feed;
        Journal one;
        Journal two;
        one.setUnit(1);
        two.setUnit(2);
        one.append(JournalEvent::Type::Line, {}); // before anyone listens: not sent
        feed.follow(&one);
        feed.follow(&two);
        const std::shared_ptr<EventSubscription> first = feed.subscribe();
        const std::shared_ptr<EventSubscription> second = feed.subscribe();
        QCOMPARE(feed.subscriberCount(), 2);
        std::vector<std::pair<int, std::uint64_t>> gotFirst;
        std::vector<std::pair<int, std::uint64_t>> gotSecond;
        std::thread readerOne([&] { gotFirst = pull(*first, 2 * kPerUnit); });
        std::thread readerTwo([&] { gotSecond = pull(*second, 2 * kPerUnit); });
        const auto unit = [](Journal* journal) {
            for (std::size_t i = 0; i < kPerUnit; ++i)
                journal->append(
                    frameEvent(i % 2 ? JournalEvent::Type::Reply : JournalEvent::Type::Request, 0x02));
        };
        std::thread unitOne(unit, &one);
        std::thread unitTwo(unit, &two);
        unitOne.join();
        unitTwo.join();
        readerOne.join();
        readerTwo.join();
        for (const auto* got : {&gotFirst, &gotSecond}) {
            QCOMPARE(got->size(), 2 * kPerUnit);
            std::map<int, std::uint64_t> lastSeq{{1, 1}, {2, 0}};
            for (const auto& event : *got) {
                QVERIFY(lastSeq.count(event.first));
                QCOMPARE(event.second, lastSeq[event.first] + 1);
                lastSeq[event.first] = event.second;
            }
        }
        QVERIFY(first->next(0).lines.empty());
    }

    // A reader that falls behind loses what does not fit, is told how much once, after what it
    // had, and then gets what comes next.
    void feedTellsASlowReaderOnce()
    {
        EventFeed feed(5, EventFeed::kDefaultMaxBytes);
        Journal journal;
        feed.follow(&journal);
        const std::shared_ptr<EventSubscription> reader = feed.subscribe();
        for (int i = 0; i < 8; ++i)
            journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        EventSubscription::Batch batch = reader->next(0, 2);
        QCOMPARE(batch.lines.size(), std::size_t(2));
        QCOMPARE(batch.lost, std::uint64_t(0));
        // Room again, but the loss is told first: this one is lost too.
        journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        batch = reader->next(0);
        QCOMPARE(batch.lines.size(), std::size_t(3));
        QVERIFY(batch.lines.back().startsWith("{\"seq\":5,"));
        QCOMPARE(batch.lost, std::uint64_t(4));
        QVERIFY(!batch.closed);
        journal.append(frameEvent(JournalEvent::Type::Request, 0x02));
        batch = reader->next(0);
        QCOMPARE(batch.lines.size(), std::size_t(1));
        QVERIFY(batch.lines.front().startsWith("{\"seq\":10,"));
        QCOMPARE(batch.lost, std::uint64_t(0));
        batch = reader->next(0);
        QVERIFY(batch.lines.empty() && !batch.lost && !batch.closed);

        // The byte bound: one large event fills it.
        EventFeed small(100, 1000);
        small.follow(&journal);
        const std::shared_ptr<EventSubscription> tight = small.subscribe();
        JournalEvent big = frameEvent(JournalEvent::Type::Record, 0x0C);
        big.bytes = QByteArray(300, 'x');
        journal.append(big);
        journal.append(big);
        batch = tight->next(0);
        QCOMPARE(batch.lines.size(), std::size_t(1));
        QCOMPARE(batch.lost, std::uint64_t(1));
    }

    // Closing the feed, or a reader leaving, releases a blocked pull at once; nothing is queued
    // while nobody listens; a followed journal may go first.
    void feedCloseReleasesReaders()
    {
        auto feed = std::make_unique<EventFeed>();
        auto journal = std::make_unique<Journal>();
        feed->follow(journal.get());
        journal->append(JournalEvent::Type::Line, {});
        const std::shared_ptr<EventSubscription> leaving = feed->subscribe();
        const std::shared_ptr<EventSubscription> staying = feed->subscribe();
        EventSubscription::Batch left;
        std::thread leaver([&] { left = leaving->next(60000); });
        QTest::qWait(30);
        std::thread([&] { feed->unsubscribe(leaving); }).join();
        leaver.join();
        QVERIFY(left.closed);
        QCOMPARE(feed->subscriberCount(), 1);

        EventSubscription::Batch closed;
        std::thread stayer([&] { closed = staying->next(60000); });
        QTest::qWait(30);
        std::thread([&] { feed->close(); }).join();
        stayer.join();
        QVERIFY(closed.closed);
        QVERIFY(closed.lines.empty());
        QCOMPARE(feed->subscriberCount(), 0);
        QVERIFY(feed->subscribe()->next(60000).closed);
        journal->append(JournalEvent::Type::Line, {});
        journal.reset();
        feed.reset();
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"

#include "DataColumns.h"
#include "FrameTestSupport.h"

#include "emulator/ScenarioLoader.h"
#include "emulator/UnitSession.h"
#include "journal/Journal.h"
#include "log/LogManager.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "scenario/RecordSource.h"
#include "scenario/Scenario.h"
#include "scenario/UnitState.h"
#include "transport/MemoryTransport.h"
#include "unit/EmulatedUnit.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

using frametest::frameBytes;

namespace {

// A frame as the event list shows it: "NAME cmd" for a reply, "NAME start|data N|end" for an
// upload's frames, "NAME bad" for one whose checksum the test's own CRC does not confirm.
QString describe(const QString& name, const QByteArray& frame)
{
    const std::optional<FrameView> view = FrameView::of(frame);
    if (!view || frameBytes(view->command(), view->content(), view->address()) != frame)
        return name + QStringLiteral(" bad");
    if (const std::optional<std::uint32_t> sequence = view->recordSequence())
        return name + QStringLiteral(" data %1").arg(*sequence);
    switch (view->recordMark().value_or(wire::RecordMark(0xFF))) {
    case wire::RecordMark::Start:
        return name + QStringLiteral(" start");
    case wire::RecordMark::End:
        return name + QStringLiteral(" end");
    default:
        break;
    }
    return name + QStringLiteral(" %1").arg(view->command());
}

// One session on its own in-memory line, and the PC program's end of that line.
class Line
{
public:
    using FrameHook = std::function<void(const QByteArray& frame)>;

    Line(const QString& name, QStringList* events) : m_name(name)
    {
        auto pair = MemoryTransport::createPair(name);
        m_pc = std::move(pair.second);
        m_ok = m_pc->open() && m_session.open(name, std::move(pair.first));
        QObject::connect(m_pc.get(), &LineTransport::readyRead, m_pc.get(), [this, events] {
            m_buffer += m_pc->readAll();
            for (const QByteArray& frame : FrameExtractor::cutByLength(m_buffer)) {
                m_frames << frame;
                events->append(describe(m_name, frame));
                if (m_hook)
                    m_hook(frame);
            }
        });
    }

    bool isOk() const { return m_ok; }
    UnitSession& session() { return m_session; }
    EmulatedUnit* unit() { return m_session.unit(); }
    const QList<QByteArray>& frames() const { return m_frames; }
    void setHook(FrameHook hook) { m_hook = std::move(hook); }
    void send(std::uint8_t cmd, const QByteArray& data = {}) { m_pc->write(frameBytes(cmd, data)); }
    void sendRaw(const QByteArray& bytes) { m_pc->write(bytes); }

private:
    QString m_name;
    UnitSession m_session;
    std::unique_ptr<MemoryTransport> m_pc;
    QByteArray m_buffer;
    QList<QByteArray> m_frames;
    FrameHook m_hook;
    bool m_ok = false;
};

QByteArray contentOf(const QByteArray& frame)
{
    const std::optional<FrameView> view = FrameView::of(frame);
    return view ? view->content() : QByteArray();
}

} // namespace

// Two units in one process, each on its own line: texts, fault rules, record counts and
// uploads stay with the session whose line carried the request.
class TestUnitSession : public QObject
{
    Q_OBJECT

private:
    QStringList m_events;
    std::unique_ptr<Line> m_a;
    std::unique_ptr<Line> m_b;
    std::function<void()> m_check;

    // Runs an event loop, as the program does, until `done` holds after some frame arrived.
    bool runUntil(const std::function<bool()>& done)
    {
        QEventLoop loop;
        m_check = [&] {
            if (done())
                loop.quit();
        };
        QTimer::singleShot(10000, &loop, &QEventLoop::quit); // a lost frame fails, not hangs
        loop.exec();
        m_check = nullptr;
        return done();
    }

    void watch(Line& line, Line::FrameHook more = {})
    {
        line.setHook([this, more](const QByteArray& frame) {
            if (more)
                more(frame);
            if (m_check)
                m_check();
        });
    }

    int indexOf(const QString& event) const { return m_events.indexOf(event); }

private slots:
    void init()
    {
        m_events.clear();
        m_a = std::make_unique<Line>(QStringLiteral("line-a"), &m_events);
        m_b = std::make_unique<Line>(QStringLiteral("line-b"), &m_events);
        QVERIFY(m_a->isOk());
        QVERIFY(m_b->isOk());
        watch(*m_a);
        watch(*m_b);
    }

    void cleanup()
    {
        m_a.reset();
        m_b.reset();
    }

    void textsAndSetsStayWithTheirUnit()
    {
        UnitState a;
        a.setStateful(true);
        a.setText(UnitState::Text::SerialNumber, "UNIT-A");
        UnitState b;
        b.setStateful(true);
        b.setText(UnitState::Text::SerialNumber, "UNIT-B");
        m_a->unit()->setScenario(a, RecordSource());
        m_b->unit()->setScenario(b, RecordSource());

        m_a->send(0x05, "NAME-A");
        m_b->send(0x07, "NUM-B");
        for (Line* line : {m_a.get(), m_b.get()}) {
            line->send(0x04);
            line->send(0x06);
            line->send(0x08);
        }
        QVERIFY2(runUntil([this] { return m_a->frames().size() == 4 && m_b->frames().size() == 4; }),
                 qPrintable(m_events.join(QLatin1Char('\n'))));
        QCOMPARE(m_a->frames(),
                 (QList<QByteArray>{frameBytes(0x05), frameBytes(0x04, "UNIT-A"), frameBytes(0x06, "NAME-A"),
                                    frameBytes(0x08, "DEVICENUMBER")}));
        QCOMPARE(m_b->frames(),
                 (QList<QByteArray>{frameBytes(0x07), frameBytes(0x04, "UNIT-B"),
                                    frameBytes(0x06, "DEVICENAME"), frameBytes(0x08, "NUM-B")}));
        QCOMPARE(m_a->session().requestCount(), std::uint64_t(4));
        QCOMPARE(m_b->session().requestCount(), std::uint64_t(4));
    }

    // Each session numbers its own events from 1 without gaps, keeps only its bound, and ties
    // every reply to the request it answers.
    void journalsStayWithTheirSession()
    {
        Journal* a = m_a->session().journal();
        Journal* b = m_b->session().journal();
        QCOMPARE(a->lastSeq(), std::uint64_t(1)); // the line's opening
        for (int i = 0; i < 4; ++i)
            m_a->send(0x04);
        m_b->send(0x06);
        QVERIFY2(runUntil([this] { return m_a->frames().size() == 4 && m_b->frames().size() == 1; }),
                 qPrintable(m_events.join(QLatin1Char('\n'))));
        // Numbered from 1 without gaps; each reply names its own request, in order.
        const std::vector<JournalEvent> all = a->since(0);
        QCOMPARE(all.size(), std::size_t(9));
        std::vector<std::uint64_t> requests;
        std::vector<std::uint64_t> answered;
        for (std::size_t i = 0; i < all.size(); ++i) {
            QCOMPARE(all[i].seq, std::uint64_t(i + 1));
            if (all[i].type == JournalEvent::Type::Request) {
                QCOMPARE(all[i].bytes, frameBytes(0x04));
                requests.push_back(all[i].seq);
            } else if (all[i].type == JournalEvent::Type::Reply) {
                QCOMPARE(all[i].bytes, frameBytes(0x04, "SERIALNUMBER"));
                QVERIFY(all[i].latencyUs >= 0);
                QVERIFY(all[i].requestSeq < all[i].seq);
                answered.push_back(all[i].requestSeq);
            }
        }
        QCOMPARE(answered, requests);
        QCOMPARE(a->since(7).size(), std::size_t(2));
        QCOMPARE(a->since(9).size(), std::size_t(0));
        QCOMPARE(a->since(2, 1).front().seq, std::uint64_t(3));
        const auto replies =
            a->since(0, 3, [](const JournalEvent& e) { return e.type == JournalEvent::Type::Reply; });
        QCOMPARE(replies.size(), std::size_t(3));

        // The bound: the oldest go, numbering goes on.
        a->setCapacity(5);
        QCOMPARE(a->firstSeq(), std::uint64_t(5));
        m_a->send(0x04);
        QVERIFY(runUntil([this] { return m_a->frames().size() == 5; }));
        QCOMPARE(a->size(), std::size_t(5));
        QCOMPARE(a->firstSeq(), std::uint64_t(7));
        QCOMPARE(a->lastSeq(), std::uint64_t(11));
        QCOMPARE(a->last(2).front().seq, std::uint64_t(10));
        QCOMPARE(a->since(0).front().seq, std::uint64_t(7));

        // The other unit's journal holds only its own line.
        const std::vector<JournalEvent> other = b->since(0);
        QCOMPARE(other.size(), std::size_t(3));
        QCOMPARE(int(other[1].type), int(JournalEvent::Type::Request));
        QCOMPARE(other[1].bytes, frameBytes(0x06));
        QCOMPARE(other[2].bytes, frameBytes(0x06, "DEVICENAME"));
        QCOMPARE(other[2].requestSeq, std::uint64_t(2));
        QVERIFY(other[2].toJson().value(QStringLiteral("t")).toString().contains(QLatin1Char('.')));

        // Noise before a request is a discard that says so; every event's file line is its JSON.
        m_a->sendRaw(QByteArray("\x01\x02", 2) + frameBytes(0x04));
        QVERIFY(runUntil([this] { return m_a->frames().size() == 6; }));
        const std::vector<JournalEvent> recent = a->last(3);
        QCOMPARE(int(recent[0].type), int(JournalEvent::Type::Discard));
        QCOMPARE(recent[0].bytes, QByteArray("\x01\x02", 2));
        QCOMPARE(recent[0].keys.value(QStringLiteral("why")).toString(),
                 QStringLiteral("noise before a header"));
        for (const JournalEvent& event : a->since(0))
            QCOMPARE(QJsonDocument::fromJson(event.toJsonLine()).object(), event.toJson());

        // The counts cover every event, the ones the bound dropped too, and outlive a reset.
        a->clear();
        m_a->session().resetRecordedState();
        const UnitMetrics::Snapshot counts = m_a->session().metrics()->snapshot();
        QCOMPARE(counts.received[0x04], std::uint64_t(6));
        QCOMPARE(counts.sent[0x04], std::uint64_t(6));
        QCOMPARE(counts.latencyCount, std::uint64_t(6));
        QCOMPARE(counts.discardedBytes, std::uint64_t(2));
        QCOMPARE(m_b->session().metrics()->snapshot().received[0x06], std::uint64_t(1));
        QCOMPARE(a->since(0).size(), std::size_t(1)); // the reset's note
    }

    void faultRulesStayWithTheirSession()
    {
        QString error;
        QVERIFY2(m_a->session().faults()->addRule(
                     QStringLiteral("get-factory-serial-number:wrong-address=0xBEEF"), &error),
                 qPrintable(error));
        QVERIFY2(
            m_b->session().faults()->addRule(QStringLiteral("get-factory-serial-number:duplicate"), &error),
            qPrintable(error));
        for (Line* line : {m_a.get(), m_b.get()}) {
            line->send(0x04);
            line->send(0x10);
        }
        QVERIFY2(runUntil([this] { return m_a->frames().size() == 2 && m_b->frames().size() == 3; }),
                 qPrintable(m_events.join(QLatin1Char('\n'))));
        QCOMPARE(m_a->frames(),
                 (QList<QByteArray>{frameBytes(0x04, "SERIALNUMBER", 0xBEEF), frameBytes(0x10, "OPERATOR")}));
        QCOMPARE(m_b->frames(),
                 (QList<QByteArray>{frameBytes(0x04, "SERIALNUMBER"), frameBytes(0x04, "SERIALNUMBER"),
                                    frameBytes(0x10, "OPERATOR")}));
        QCOMPARE(m_a->session().faults()->rules().size(), 1);
        QCOMPARE(m_a->session().faults()->rules().first().fired, std::uint64_t(1));
        QCOMPARE(m_b->session().faults()->rules().first().fired, std::uint64_t(1));

        // A rule whose time runs out says so in its own unit's journal only.
        QVERIFY(m_a->session().faults()->addRule(QStringLiteral("get-time:drop@for=20ms"), &error));
        const auto endedIn = [](Journal* journal) {
            return journal->since(0, 10, [](const JournalEvent& e) {
                return e.type == JournalEvent::Type::Fault &&
                       e.keys.value(QStringLiteral("action")).toString() == QLatin1String("ended");
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(!endedIn(m_a->session().journal()).empty(), 5000);
        const std::vector<JournalEvent> ended = endedIn(m_a->session().journal());
        QCOMPARE(ended.size(), std::size_t(1));
        QCOMPARE(ended.front().toJson().value(QStringLiteral("rule")).toString(),
                 QStringLiteral("get-time:drop@for=20ms"));
        QVERIFY(endedIn(m_b->session().journal()).empty());
        QCOMPARE(m_a->session().faults()->rules().last().state, QStringLiteral("ended"));
    }

    // The journal's replies and the sent counts are what reached the line; what a rule dropped,
    // delayed or held behind a delayed one is counted under its own name. Two get-times, then a
    // serial number that a held-back reply holds up too.
    void repliesCountWhatReachedTheLine_data()
    {
        // clearHeld: the rules cleared while replies are held back
        // written: frames the PC side got
        // slowestUs: the slowest reply's latency, at least
        testdata::addColumns<QString, bool, int, int, int, int, int, qint64>(
            "rule", "clearHeld", "written", "timeSent", "dropped", "delayed", "held", "slowestUs");
        QTest::newRow("no rule") << QString() << false << 3 << 2 << 0 << 0 << 0 << qint64(0);
        QTest::newRow("drop") << "get-time:drop@1" << false << 2 << 1 << 1 << 0 << 0 << qint64(0);
        QTest::newRow("delay") << "get-time:delay=200@1" << false << 3 << 2 << 0 << 1 << 2 << qint64(200000);
        QTest::newRow("split") << "get-time:split=2:150@1" << false << 3 << 2 << 0 << 1 << 2
                               << qint64(150000);
        QTest::newRow("corrupt") << "get-time:corrupt-crc@1" << false << 3 << 2 << 0 << 0 << 0 << qint64(0);
        QTest::newRow("let go") << "get-time:delay=60000@1" << true << 0 << 0 << 3 << 1 << 2 << qint64(0);
    }

    void repliesCountWhatReachedTheLine()
    {
        QFETCH(QString, rule);
        QFETCH(bool, clearHeld);
        QFETCH(int, written);
        QFETCH(int, timeSent);
        QFETCH(int, dropped);
        QFETCH(int, delayed);
        QFETCH(int, held);
        QFETCH(qint64, slowestUs);
        UnitSession& session = m_a->session();
        QString error;
        if (!rule.isEmpty())
            QVERIFY2(session.faults()->addRule(rule, &error), qPrintable(error));
        m_a->send(0x02);
        m_a->send(0x02);
        m_a->send(0x04);
        QTRY_COMPARE_WITH_TIMEOUT(session.requestCount(), std::uint64_t(3), 10000);
        if (clearHeld)
            session.faults()->clear();
        // Every reply reached its end: written or dropped.
        const auto ended = [&] {
            const UnitMetrics::Snapshot c = session.metrics()->snapshot();
            return c.sent[0x02] + c.sent[0x04] + c.dropped[0x02] + c.dropped[0x04] == 3;
        };
        QTRY_VERIFY_WITH_TIMEOUT(ended(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(m_a->frames().size(), written, 5000);
        const UnitMetrics::Snapshot counts = session.metrics()->snapshot();
        QCOMPARE(counts.sent[0x02], std::uint64_t(timeSent));
        QCOMPARE(counts.dropped[0x02] + counts.dropped[0x04], std::uint64_t(dropped));
        QCOMPARE(counts.delayed[0x02], std::uint64_t(delayed));
        QCOMPARE(counts.held[0x02] + counts.held[0x04], std::uint64_t(held));
        QCOMPARE(counts.latencyCount, std::uint64_t(written));
        const std::vector<JournalEvent> replies = session.journal()->since(
            0, 10, [](const JournalEvent& e) { return e.type == JournalEvent::Type::Reply; });
        QCOMPARE(int(replies.size()), written);
        // A reply a rule shaped or held names it, and its latency runs to its write.
        qint64 latest = 0;
        int named = 0;
        for (const JournalEvent& reply : replies) {
            latest = std::max(latest, reply.latencyUs);
            if (reply.keys.contains(QStringLiteral("faults"))) {
                QCOMPARE(reply.keys.value(QStringLiteral("faults")).toArray(), QJsonArray{rule});
                ++named;
            }
        }
        QCOMPARE(named, written ? delayed + (rule.contains(QLatin1String("corrupt")) ? 1 : 0) : 0);
        QVERIFY2(latest >= slowestUs, qPrintable(QString::number(latest)));
    }

    // A scenario's CSV makes its row count the unit's; a count set after it takes the rows in
    // order, from the first again after the last.
    void csvRowsFollowTheCount_data()
    {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("count"); // -1: none set after the scenario
        QTest::addColumn<QList<int>>("sentRows");
        QTest::newRow("the rows") << 3 << -1 << QList<int>{0, 1, 2};
        QTest::newRow("fewer") << 3 << 2 << QList<int>{0, 1};
        QTest::newRow("cycled") << 3 << 7 << QList<int>{0, 1, 2, 0, 1, 2, 0};
        QTest::newRow("none") << 3 << 0 << QList<int>{};
        QTest::newRow("no rows") << 0 << 4 << QList<int>{};
    }

    void csvRowsFollowTheCount()
    {
        QFETCH(int, rows);
        QFETCH(int, count);
        QFETCH(QList<int>, sentRows);
        Scenario scenario;
        scenario.records.useRows();
        for (int i = 0; i < rows; ++i) {
            QByteArray row(110, char(0x10 + i));
            row[0] = '\x01';
            scenario.records.appendRow(row);
        }
        EmulatedUnit* unit = m_a->unit();
        QVERIFY(ScenarioLoader::apply(*unit, nullptr, scenario, nullptr));
        QCOMPARE(unit->recordCount(), rows);
        if (count >= 0)
            unit->setRecordCount(count);
        QCOMPARE(unit->csvRowsTaken().isEmpty(), count < 0 || count == rows);
        m_a->send(0x0C);
        QVERIFY2(runUntil([this] {
                     return !m_a->frames().isEmpty() &&
                            contentOf(m_a->frames().last()) == QByteArray("\x02", 1);
                 }),
                 qPrintable(m_events.join(QLatin1Char('\n'))));
        QList<int> sent;
        for (int i = 1; i + 1 < m_a->frames().size(); ++i)
            sent << static_cast<std::uint8_t>(contentOf(m_a->frames().at(i)).at(1)) - 0x10;
        QCOMPARE(sent, sentRows);
        QCOMPARE(contentOf(m_a->frames().first()).mid(1).toHex().toUInt(nullptr, 16), uint(sentRows.size()));
    }

    // A answers B's requests while its own upload runs; B's upload, stopped, ends alone.
    void uploadsStayWithTheirSession()
    {
        m_a->unit()->setRecordCount(60);
        m_b->unit()->setRecordCount(25);
        bool aUploadingWhenBAnswered = false;
        bool aUploadingWhenBStopped = false;
        int aRecordsAtBEnd = -1;
        int aRecords = 0;
        watch(*m_a, [&](const QByteArray& frame) {
            const std::optional<FrameView> view = FrameView::of(frame);
            if (!view || !view->recordSequence())
                return;
            ++aRecords;
            if (aRecords == 1) { // A is mid-upload: B is asked now
                m_b->send(0x04);
                m_b->send(0x0C);
            } else if (aRecordsAtBEnd >= 0 && aRecords == aRecordsAtBEnd + 2) {
                m_a->unit()->stopUpload(); // A kept going after B ended: enough
            }
        });
        watch(*m_b, [&](const QByteArray& frame) {
            const std::optional<FrameView> view = FrameView::of(frame);
            if (!view)
                return;
            if (view->command() == 0x04) {
                aUploadingWhenBAnswered = m_a->unit()->isUploading();
            } else if (view->recordSequence() == 1u) {
                aUploadingWhenBStopped = m_a->unit()->isUploading();
                m_b->unit()->stopUpload();
            } else if (view->recordMark() == wire::RecordMark::End) {
                aRecordsAtBEnd = aRecords;
            }
        });
        m_a->send(0x0C);
        const auto ended = [](const Line& line) {
            return !line.frames().isEmpty() && contentOf(line.frames().last()) == QByteArray("\x02", 1);
        };
        QVERIFY2(runUntil([&] { return ended(*m_a) && ended(*m_b); }),
                 qPrintable(m_events.join(QLatin1Char('\n'))));

        // B answered and uploaded while A's upload ran, and its stop left A's running.
        QVERIFY(aUploadingWhenBAnswered);
        QVERIFY(aUploadingWhenBStopped);
        QVERIFY(indexOf(QStringLiteral("line-b 4")) < indexOf(QStringLiteral("line-a end")));
        QVERIFY(indexOf(QStringLiteral("line-b end")) < indexOf(QStringLiteral("line-a end")));
        QVERIFY(aRecordsAtBEnd >= 1);
        QCOMPARE(aRecords, aRecordsAtBEnd + 2);

        // Each line carried one whole upload of its own unit's count, records numbered from 1.
        QCOMPARE(contentOf(m_a->frames().first()), QByteArray::fromHex("000000003c"));
        QCOMPARE(m_a->frames().size(), aRecords + 2);
        for (int i = 1; i <= aRecords; ++i)
            QCOMPARE(FrameView::of(m_a->frames().at(i))->recordSequence().value_or(0), std::uint32_t(i));
        const int bRecords = m_b->frames().size() - 3; // after the serial number, start and end
        QVERIFY(bRecords >= 1 && bRecords < 25);
        QCOMPARE(m_b->frames().first(), frameBytes(0x04, "SERIALNUMBER"));
        QCOMPARE(contentOf(m_b->frames().at(1)), QByteArray::fromHex("0000000019"));
        for (int i = 1; i <= bRecords; ++i)
            QCOMPARE(FrameView::of(m_b->frames().at(i + 1))->recordSequence().value_or(0), std::uint32_t(i));
        QCOMPARE(m_events.filter(QStringLiteral(" bad")), QStringList());
        QCOMPARE(m_a->unit()->recordCount(), 60);
        QCOMPARE(m_b->unit()->recordCount(), 25);
        QVERIFY(!m_a->unit()->isUploading());
        QVERIFY(!m_b->unit()->isUploading());
    }
};

QTEST_GUILESS_MAIN(TestUnitSession)
#include "tst_unit_session.moc"

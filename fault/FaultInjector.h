#pragma once

#include "fault/FaultSchedule.h"
#include "protocol/UnitReply.h"
#include "scenario/ReplyTiming.h"
#include "transport/LineWriter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

// Makes the unit misbehave on purpose, between the line and the unit: a gate on received
// requests (numbering, stall) and the shaping of the frames the unit sends (the rest), which
// says what to write and when. GUI thread only. With no rule the gate passes every request on
// unchanged and nothing is shaped.
class FaultInjector : public QObject
{
    Q_OBJECT

public:
    struct RuleStatus
    {
        int id; // from 1, never used again by this injector
        QString text;
        std::uint64_t fired;
        QString state; // "waiting", "active" or "ended"
    };

    // What became of a reply shaped: written to the line now or, held back first,
    // later; held back by a delay or split of its own, or only behind a held-back one before
    // it; or never written (a drop, a cut upload, a full queue, let go while held).
    enum class ReplyFate
    {
        Written,
        Delayed,
        Held,
        Dropped
    };

    explicit FaultInjector(QObject* parent = nullptr);
    ~FaultInjector() override;

    // The unit behind the gate: its request handler, the writer it answers through, and how to
    // end its uploads. Requests reach the unit only through slot_recvData from now on.
    struct Target
    {
        // `request` numbers the requests passed on, from 1; the unit's replies carry it back.
        std::function<void(QString portName, unsigned char cmd, QByteArray data, std::uint64_t request)>
            deliver;
        std::function<LineWriter*()> writer;
        std::function<void()> endUploads;
        // The line rules' effects: the line gone for `ms` (vanish) or a break toward the PC
        // (break); the modem lines now off (LineTransport::kDsr...); why the line cannot carry this
        // rule's action (empty: it can, or there is no line yet to ask).
        std::function<void(FaultRule::Action action, std::uint32_t ms)> lineEvent;
        std::function<void(std::uint8_t off)> modemLines;
        std::function<QString(const FaultRule& rule)> lineRefusal;
        // Told of every reply shaped, while it is shaped (so before any byte of it is written),
        // with `hold` 0 unless Delayed or Held; the writer tells the end of a held one under
        // its `hold`. `rules`: those that acted on it.
        std::function<void(ReplyFate fate, std::uint64_t hold, const QStringList& rules)> replyFate;
    };
    void setTarget(Target target);

    // All or nothing: on a malformed rule nothing changes and *error names it. The first
    // `scenarioRules` of them came from a scenario file and go when another one is loaded.
    bool setRules(const QStringList& rules, std::uint32_t seed, QString* error, int scenarioRules = 0);
    // The new rule's id in *id.
    bool addRule(const QString& rule, QString* error, int* id = nullptr);
    // False when no rule has this id; the other rules keep their counters.
    bool removeRule(int id);
    // Removes every rule and starts the counters again; the replies they hold back go too.
    void clear();
    // Also the seed a scenario without one returns to.
    void setSeed(std::uint32_t seed);
    std::uint32_t seed() const { return m_schedule.seed(); }

    // A scenario's rules replace those of the scenario before (none: they just go); rules added
    // one by one stay. Its seed, when given, is used; otherwise the seed set before any scenario.
    bool takeScenarioRules(const QStringList& rules, std::optional<std::uint32_t> seed, QString* error);

    // How fast the unit answers from now on: each reply waits, from its request's arrival, a
    // latency drawn from its command's samples; empty: at once. Fault rules act on top.
    void setTiming(const ReplyTiming& timing);
    // An upload's pause after a frame (RecordUploadJob::Pause): an interval sample, never under
    // minimumNs; after the start frame also the time its latency held it back.
    qint64 recordPauseNs(UnitReply::Kind handedOver, qint64 minimumNs);

    // At most this many replies, or this many bytes, are held back at once; a reply beyond
    // either is dropped (one log line until the queue drains).
    static constexpr std::size_t kMaxHeldReplies = 1000;
    static constexpr qint64 kMaxHeldBytes = 16 * 1024 * 1024;

    // Whether the unit's replies are to be shaped now (a rule active, reply timing, or writes
    // still held behind which they must wait).
    bool shapes(const LineWriter& writer) const;
    // What to write of this reply, and when: nothing (dropped), one write now, or writes held
    // behind those the writer holds. `frame` is the reply as packed.
    std::vector<LineWriter::TimedWrite> shape(const UnitReply& reply, const QByteArray& frame,
                                              const LineWriter& writer);

    QList<RuleStatus> rules() const;
    // One line per rule with its fire count (and its state, for a rule with a timeline), as the
    // console's "faults" shows them.
    QStringList listing() const;

signals:
    // A rule was added or removed, or a fire count changed.
    void rules_changed();
    // A rule fired, as its FAULT line says: on the request with this number (as the line
    // counts them), or on an upload's record (`record` from 0; -1 for a request).
    void fault_fired(QString rule, QString action, quint64 request, qint64 record);
    // A rule's for= ran out: it fires no more, and stays listed as ended until removed or cleared.
    void rule_ended(QString rule);

public slots:
    // The gate: what Device::recv_data delivers, passed on to the unit unless stalled.
    void slot_recvData(QString portName, unsigned char cmd, QByteArray data);
    // The unit's uploads have all ended, one way or another: nothing left to cut.
    void slot_uploadEnded() { m_cutting = false; }

private:
    // The reply to shape: the frame and what the rules did to it.
    struct Reply
    {
        QByteArray frame;
        bool whole = true; // still ends in its checksum
        bool drop = false;
        bool duplicate = false;
        std::uint64_t delayMs = 0; // stacked delays add up here, capped when written
        qint64 latencyNs = 0;      // the unit's own time to answer, still to run
        std::uint32_t pieces = 1;
        std::uint32_t gapMs = 0;
        QByteArray noise;
        QStringList rules; // those that acted on it
    };

    // The request being handled: its number and the rules that fired for it.
    struct RequestContext
    {
        std::uint64_t number = 0;
        std::uint8_t cmd = 0;
        QList<int> fired;
        bool logged = false;
        qint64 arrivalNs = -1; // on m_clock; -1 once its latency was drawn
    };

    void applyRule(const FaultRule& rule, Reply& reply);
    void emitReply(const LineWriter& writer, const Reply& reply, std::vector<LineWriter::TimedWrite>& writes);
    void tellFate(ReplyFate fate, std::uint64_t hold, const QStringList& rules = {});
    // What is left of a reply's latency now; 0 without samples for its command.
    qint64 drawLatencyNs(RequestContext& request, std::uint8_t cmd);
    void dropPending(const QString& why);
    void logFired(const QList<int>& fired, std::uint8_t cmd, std::uint32_t record);
    void logRequestFired(const QList<int>& fired, std::uint8_t cmd, std::uint64_t number);
    void cutUpload(const QString& rule);
    // Applies the active line rules: the modem lines and the garbling in force, and the rules
    // without a counted WHEN that act once as they start.
    void updateLineState();
    void fireLineEvent(const FaultRule& rule);
    void garble(QByteArray& bytes);
    bool refuseOnLine(const QList<FaultRule>& rules, QString* error) const;
    // The rule indices held by requests being answered, kept right while rules go: as ids
    // before a change of the list, as indices again after it.
    void contextsToIds();
    void contextsToIndices();
    // Starts and ends the timeline rules whose time has come; the timer waits for the next.
    void advanceTimeline();
    void armTimeline();

    Target m_target;
    FaultSchedule m_schedule;
    // The requests being answered whose rules fired, by the number their replies carry.
    std::map<std::uint64_t, RequestContext> m_contexts;
    std::uint64_t m_delivered = 0; // requests passed on to the unit, never reset
    std::uint64_t m_uploadRequest = 0;
    QString m_stallRule;
    int m_stallId = 0;
    bool m_cutting = false;
    QString m_cutRule; // the stop-after that cut the upload
    std::uint64_t m_lastHold = 0;
    bool m_overflowLogged = false;
    // Armed only for the next start or end of a rule with a timeline: idle without one.
    QTimer m_timelineTimer;
    QElapsedTimer m_clock;
    QPointer<LineWriter> m_garbled; // the writer whose bytes are garbled
    double m_garble = 0.0;
    std::uint8_t m_modemOff = 0;
    std::uint32_t m_baseSeed = FaultSchedule::kDefaultSeed;
    ReplyTiming m_timing;
    qint64 m_startHeldNs = 0; // how long the last upload's start frame waited for its latency
};

#pragma once

#include "fault/FaultRules.h"
#include "protocol/UnitReply.h"
#include "protocol/UnitRequest.h"
#include "transport/LineWriter.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

// Makes the unit misbehave on purpose, between the line and the unit, as its own FaultRules
// say: a gate on received requests (numbering, stall) and the shaping of the frames the unit
// sends (the rest), which says what to write and when. GUI thread only. With no rule the gate
// passes every request on unchanged and nothing is shaped.
class FaultStage : public QObject
{
    Q_OBJECT

public:
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

    explicit FaultStage(QObject* parent = nullptr);
    ~FaultStage() override;

    // The unit behind the gate: its request handler, the writer it answers through, and how to
    // end its uploads. Requests reach the unit only through pass() from now on.
    struct Target
    {
        // A request passed on, its `number` set: the requests passed on from 1; the unit's
        // replies carry it back.
        std::function<void(const UnitRequest& request)> deliver;
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

    // The rules it acts on, which the API, the console and the window change.
    FaultRules* rules() { return &m_rules; }
    const FaultRules* rules() const { return &m_rules; }

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

signals:
    // A rule fired, as its FAULT line says: on the request with this number (as the line
    // counts them), or on an upload's record (`record` from 0; -1 for a request).
    void fault_fired(QString rule, QString action, quint64 request, qint64 record);

public:
    // The gate: each request cut from the line, passed on to the unit unless a rule keeps it.
    void pass(UnitRequest request);

public slots:
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
        qint64 arrivalNs = -1; // on the rules' clock; -1 once its latency was drawn
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
    // Every rule went: nothing is left to cut or to fire for the requests being answered.
    void reset(const QString& why);
    // The rule indices held by requests being answered, kept right while rules go.
    void reindex(const std::vector<int>& newIndex);

    Target m_target;
    FaultRules m_rules{this};
    FaultSchedule& m_schedule; // the rules' counters and draws, at every step
    // The requests being answered whose rules fired, by the number their replies carry.
    std::map<std::uint64_t, RequestContext> m_contexts;
    std::uint64_t m_delivered = 0; // requests passed on to the unit, never reset
    std::uint64_t m_uploadRequest = 0;
    bool m_cutting = false;
    QString m_cutRule; // the stop-after that cut the upload
    std::uint64_t m_lastHold = 0;
    bool m_overflowLogged = false;
    QPointer<LineWriter> m_garbled; // the writer whose bytes are garbled
    double m_garble = 0.0;
    std::uint8_t m_modemOff = 0;
    qint64 m_startHeldNs = 0; // how long the last upload's start frame waited for its latency
};

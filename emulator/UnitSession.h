#pragma once

#include "journal/JournalTap.h"
#include "emulator/LineOutage.h"
#include "fault/FaultStage.h"
#include "journal/Journal.h"
#include "journal/UnitMetrics.h"
#include "journal/UnitStateRecorder.h"
#include "transport/LineTiming.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>

class Device;
class EmulatedUnit;
class LineObserver;
class LineTransport;
struct UnitReply;

// One served line and the unit on it: opens and closes the line's device, passes each
// request through the session's fault stage to its unit, and the unit's replies back out on
// this line only. Owner thread only.
class UnitSession : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString portName;
        QString baudRate = QStringLiteral("115200");
        QString dataBits = QStringLiteral("8");
        QString stopBits = QStringLiteral("1");
        QString parity = QStringLiteral("None");
        // The window's way; without it frames are cut on the owner thread as the bytes
        // arrive, which spares every request two thread wake-ups.
        bool parseThread = true;
        // A cable's pace and a USB adapter's packets; off by default.
        LineTiming lineTiming;
    };

    // With no unit given the session makes its own; a given one must outlive the session.
    explicit UnitSession(EmulatedUnit* unit = nullptr, QObject* parent = nullptr);
    ~UnitSession() override;

    EmulatedUnit* unit() const { return m_unit; }
    FaultRules* faults() { return m_faults.rules(); }

    // The endpoint in settings.portName: a serial port, "tcp:HOST:PORT" or "rfc2217:HOST:PORT".
    // The line is made from the endpoint and owned by the session. False with the system's
    // reason in lastError().
    bool open(const Settings& settings);
    // Any other line, owned by the session; frames are cut as the bytes arrive.
    bool open(const QString& name, std::unique_ptr<LineTransport> line);
    void close();
    // The orderly end of a session: running uploads end with their end frames, which
    // get at most flushBoundMs to leave for the line, then the line closes.
    void endUploadsAndClose(int flushBoundMs = 500);

    // Watches the open device's line and every one opened later; nullptr ends that.
    // Not owned: take it off before it goes.
    void setLineObserver(LineObserver* observer);
    LineObserver* lineObserver() const { return m_observer; }

    bool isOpen() const { return m_device != nullptr; }
    QString portName() const { return m_portName; }
    // The line as it was opened, as log lines, the journal and the state name it: a network
    // port 0 replaced by the one bound; otherwise portName().
    QString endpoint() const { return m_endpoint; }
    QString lastError() const { return m_lastError; }
    struct Status
    {
        // "closed", "open", or a listener's "listening" or "connected".
        QString line;
        // The line's name, a listener's with the port it bound.
        QString endpoint;
        // The running upload's records sent and announced; total -1: none runs.
        int sent = 0;
        int total = -1;
    };
    // The session as the API and the page show it (owner thread).
    Status status() const;
    // Back to a fresh session with its scenario kept: the fault rules, the journal and the
    // recorded state go (the metrics stay).
    void reset();
    Device* device() const { return m_device; }
    // Put before the log lines of this session's unit while it runs (see LogContext); empty
    // (the default) leaves them as they are.
    void setLogPrefix(const QString& prefix) { m_logPrefix = prefix; }
    const QString& logPrefix() const { return m_logPrefix; }
    // The session an object works for: itself or its nearest ancestor that is a session.
    static UnitSession* of(QObject* object);

    // Requests this session passed on to its unit.
    std::uint64_t requestCount() const { return m_requests; }

    // What happened on the line and what the PC program set: both thread-safe to read.
    Journal* journal() { return &m_journal; }
    const UnitStateRecorder* recordedState() const { return &m_state; }
    // Counts of every event the journal took, kept across a reset.
    const UnitMetrics* metrics() const { return &m_metrics; }
    // The unit's number in its host, shown in its journal and state.
    void setUnitNumber(int number);
    // Journal notes of what the host did with the unit.
    void noteScenarioLoaded(const QString& path);
    // After its line was lost (line_lost): the line open again, with its journal note.
    // False with the system's reason in lastError(), or when the session was closed.
    bool reopenLine();
    // Forgets what the PC program set and asked (the journal keeps its events).
    void resetRecordedState();
    // A scenario being read for this unit (a console's file, an API body), on any thread: the
    // unit is not ready until each read begun has ended, taken over or refused.
    void beginScenarioRead() { ++m_scenarioReads; }
    void endScenarioRead() { --m_scenarioReads; }
    bool isReadingScenario() const { return m_scenarioReads.load() > 0; }

signals:
    // The open line went away (an adapter pulled, the other end of a pty closed).
    void line_lost();

private:
    // A reply or record frame handed over: journaled once it is written to the line.
    struct Outgoing
    {
        JournalEvent event;
        std::uint8_t command = 0;
        qint64 arrivalUs = -1; // its request's arrival (steady clock); -1: none known
        QStringList rules;     // the fault rules that acted on it
    };

    // Logs what the line reports about itself; a network client gone ends its uploads.
    void watchLine(LineTransport* line);
    bool openLine(const QString& name, std::unique_ptr<LineTransport> line, bool parseThread);
    bool start(Device* device, bool parseThread);
    void sendReply(const UnitReply& reply);
    void noteFate(FaultStage::ReplyFate fate, std::uint64_t hold, const QStringList& rules);
    void noteWritten(Outgoing& outgoing);
    void noteLine(const QString& what);
    void takeUnitTexts();
    // What the line rules ask of the line, where it can carry it.
    void lineEvent(FaultRule::Action action, std::uint32_t ms);
    void setModemLines(std::uint8_t off);
    QString lineRefusal(const FaultRule& rule) const;

    EmulatedUnit* m_unit;
    std::unique_ptr<EmulatedUnit> m_ownUnit;
    FaultStage m_faults;
    Device* m_device = nullptr; // m_ownDevice while open
    std::unique_ptr<Device> m_ownDevice;
    LineObserver* m_observer = nullptr;
    QString m_portName;
    QString m_endpoint;
    QString m_lastError;
    std::uint64_t m_requests = 0;
    // The device is shown the tap only while open: close() takes it off before these go.
    UnitMetrics m_metrics; // fed by the journal, so it goes after it
    Journal m_journal;
    UnitStateRecorder m_state;
    JournalTap m_tap{&m_journal, &m_state};
    // A request as the gate has it: its journal seq and when it was cut (steady clock, µs).
    struct Arrival
    {
        std::uint64_t seq = 0;
        qint64 steadyUs = 0;
    };
    Arrival m_gated;                             // the request at the gate, for the rules it fires
    std::map<std::uint64_t, Arrival> m_arrivals; // by the number the unit's replies carry
    std::uint64_t m_replyingTo = 0;                          // journal seq of the request being answered
    Outgoing* m_outgoing = nullptr;                          // the frame being handed over
    bool m_fateTold = false;                                 // the fault stage said what became of it
    std::map<std::uint64_t, Outgoing> m_heldBack;            // by the fault stage's hold number
    bool m_everOpened = false;
    QString m_logPrefix;
    LineOutage m_outage{[this] { return m_device; }, [this](const QString& event) { noteLine(event); }, this};
    std::uint8_t m_modemOff = 0; // the modem lines the rules turn off, for lines opened later
    bool m_dtr = true;           // the PC side's, as last reported
    LineTiming m_lineTiming;
    qint64 m_fallbackCharacterNs = 0; // the settings' character time, for a line without its own
    std::atomic<int> m_scenarioReads{0};
    std::pair<int, int> m_upload{0, -1}; // sent, announced; -1: none runs
};

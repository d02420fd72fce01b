#include "emulator/UnitSession.h"

#include "device/Device.h"
#include "log/Log.h"
#include "log/LogContext.h"
#include "protocol/FrameView.h"
#include "protocol/UnitReply.h"
#include "protocol/WireFormat.h"
#include "transport/Endpoint.h"
#include "transport/LineTransport.h"
#include "transport/LineWriter.h"
#include "transport/SerialSettings.h"
#include "transport/TcpServerTransport.h"
#include "unit/EmulatedUnit.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QThread>

namespace {

constexpr qint64 kLingerMs = 100;
constexpr std::size_t kRememberedRequests = 1024;

} // namespace

// The session's own objects are its children, so an event for any of them is known as this
// session's (see of()).
UnitSession::UnitSession(EmulatedUnit* unit, QObject* parent) : QObject(parent), m_unit(unit), m_faults(this)
{
    if (!m_unit) {
        m_ownUnit = std::make_unique<EmulatedUnit>(this);
        m_unit = m_ownUnit.get();
    }
    // Replies go out on this session's line, whichever device another session has open.
    m_unit->setReplyChannel([this](const UnitReply& reply) { sendReply(reply); });
    m_unit->setLineFinder([this] { return m_device ? m_device->writer() : nullptr; });
    m_unit->setRecordPause([this](UnitReply::Kind handedOver, qint64 minimumNs) {
        return m_faults.recordPauseNs(handedOver, minimumNs);
    });
    FaultStage::Target target;
    target.deliver = [this](const UnitRequest& request) {
        ++m_requests;
        m_arrivals[request.number] = {request.seq, request.arrivedUs};
        // An upload's request is the oldest still answered; far older ones are long done.
        while (m_arrivals.size() > kRememberedRequests)
            m_arrivals.erase(m_arrivals.begin());
        // Its log lines name the line as bound.
        m_unit->handleRequest(m_endpoint.isEmpty() ? m_portName : m_endpoint, request);
    };
    target.writer = [this] { return m_device ? m_device->writer() : nullptr; };
    target.endUploads = [this] { m_unit->endUploads(); };
    target.lineEvent = [this](FaultRule::Action action, std::uint32_t ms) { lineEvent(action, ms); };
    target.modemLines = [this](std::uint8_t off) { setModemLines(off); };
    target.lineRefusal = [this](const FaultRule& rule) { return lineRefusal(rule); };
    target.replyFate = [this](FaultStage::ReplyFate fate, std::uint64_t hold, const QStringList& rules) {
        noteFate(fate, hold, rules);
    };
    m_faults.setTarget(std::move(target));
    connect(m_unit, &EmulatedUnit::upload_ended, &m_faults, &FaultStage::slot_uploadEnded);
    connect(m_unit, &EmulatedUnit::upload_started, this,
            [this](quint64, int announced) { m_upload = {0, announced}; });
    connect(m_unit, &EmulatedUnit::upload_progress, this,
            [this](int sent, int total, double) { m_upload = {sent, total}; });
    connect(m_unit, &EmulatedUnit::upload_ended, this, [this] { m_upload = {0, -1}; });

    connect(&m_faults, &FaultStage::fault_fired, this,
            [this](const QString& rule, const QString& action, quint64 request, qint64 record) {
                // A reply's rules fire while it is handed over; a request's at the gate.
                QJsonObject keys{
                    {QStringLiteral("rule"), rule},
                    {QStringLiteral("action"), action},
                    {QStringLiteral("request"), qint64(request)},
                    {QStringLiteral("request_seq"), qint64(m_replyingTo ? m_replyingTo : m_gated.seq)}};
                if (record >= 0)
                    keys.insert(QStringLiteral("record"), record);
                m_journal.append(JournalEvent::Type::Fault, keys);
            });
    connect(m_faults.rules(), &FaultRules::rule_ended, this, [this](const QString& rule) {
        m_journal.append(JournalEvent::Type::Fault, {{QStringLiteral("rule"), rule},
                                                     {QStringLiteral("action"), QStringLiteral("ended")}});
    });
    connect(m_unit, &EmulatedUnit::upload_started, this, [this](quint64 request, int announced) {
        const auto it = m_arrivals.find(request);
        m_journal.append(
            JournalEvent::Type::UploadStart,
            {{QStringLiteral("request_seq"), qint64(it == m_arrivals.end() ? 0 : it->second.seq)},
             {QStringLiteral("announced"), announced}});
    });
    connect(m_unit, &EmulatedUnit::upload_finished, this,
            [this](quint64 request, int sent, int announced, const QString& how) {
                const auto it = m_arrivals.find(request);
                m_journal.append(
                    JournalEvent::Type::UploadEnd,
                    {{QStringLiteral("request_seq"), qint64(it == m_arrivals.end() ? 0 : it->second.seq)},
                     {QStringLiteral("sent"), sent},
                     {QStringLiteral("announced"), announced},
                     {QStringLiteral("how"), how}});
            });
    connect(m_unit, &EmulatedUnit::scenario_set, this, &UnitSession::takeUnitTexts);
    takeUnitTexts();
    // Counted as appended, whichever thread appends, so the journal's bound loses none.
    m_journal.addObserver([this](const JournalEvent& event) { m_metrics.observe(event); });
}

void UnitSession::setUnitNumber(int number)
{
    m_journal.setUnit(number);
    m_state.setUnit(number);
}

void UnitSession::takeUnitTexts()
{
    const UnitState& state = m_unit->unitState();
    m_state.setUnitText(Command::SetSerialNumber, state.text(UnitState::Text::SerialNumber));
    m_state.setUnitText(Command::SetDeviceName, state.text(UnitState::Text::DeviceName));
    m_state.setUnitText(Command::SetDeviceNumber, state.text(UnitState::Text::DeviceNumber));
    m_state.setUnitText(Command::SetOperator, state.text(UnitState::Text::Operator));
}

void UnitSession::sendReply(const UnitReply& reply)
{
    if (!m_device)
        return;
    const auto it = m_arrivals.find(reply.request);
    const Arrival arrival = it == m_arrivals.end() ? Arrival() : it->second;
    // Packed once: the journal keeps the frame as the unit meant it, before any fault shapes it.
    const QByteArray frame = FrameView::build(wire::kAddress, reply.command, reply.content);
    Outgoing outgoing;
    outgoing.event.bytes = frame;
    outgoing.event.requestSeq = arrival.seq;
    outgoing.command = reply.command;
    if (reply.kind == UnitReply::Kind::RecordData) {
        outgoing.event.type = JournalEvent::Type::Record;
        outgoing.event.sequence = reply.sequence;
    } else {
        outgoing.event.type = JournalEvent::Type::Reply;
        outgoing.arrivalUs = arrival.seq ? arrival.steadyUs : -1;
    }
    m_outgoing = &outgoing;
    m_fateTold = false;
    LineWriter* writer = m_device->writer();
    const bool shaped = m_faults.shapes(*writer);
    if (!shaped && m_device->isOpen()) {
        // Nothing shapes it: noted before it goes, so whoever saw the frame finds its event.
        m_fateTold = true;
        noteWritten(outgoing);
    }
    m_replyingTo = arrival.seq;
    m_tap.setReplying(true);
    if (m_device->readyForReply(reply.command, frame, reply.discardsUnread())) {
        if (!shaped)
            writer->write(frame);
        else
            for (LineWriter::TimedWrite& write : m_faults.shape(reply, frame, *writer))
                writer->schedule(std::move(write));
    }
    m_tap.setReplying(false);
    m_replyingTo = 0;
    m_outgoing = nullptr;
    // Untold, it never reached the fault stage: lost with its line.
    if (!m_fateTold)
        m_metrics.noteWithheld(UnitMetrics::Withheld::Dropped, outgoing.command);
}

void UnitSession::noteFate(FaultStage::ReplyFate fate, std::uint64_t hold, const QStringList& rules)
{
    using Fate = FaultStage::ReplyFate;
    const bool ends = fate == Fate::Written || fate == Fate::Dropped;
    if (ends && hold != 0) {
        // The end of one held back earlier.
        const auto held = m_heldBack.find(hold);
        if (held == m_heldBack.end())
            return;
        Outgoing outgoing = std::move(held->second);
        m_heldBack.erase(held);
        if (fate == Fate::Written)
            noteWritten(outgoing);
        else
            m_metrics.noteWithheld(UnitMetrics::Withheld::Dropped, outgoing.command);
        return;
    }
    if (!m_outgoing || m_fateTold)
        return;
    m_fateTold = true;
    m_outgoing->rules = rules;
    switch (fate) {
    case Fate::Written:
        noteWritten(*m_outgoing);
        break;
    case Fate::Dropped:
        m_metrics.noteWithheld(UnitMetrics::Withheld::Dropped, m_outgoing->command);
        break;
    case Fate::Delayed:
    case Fate::Held:
        m_metrics.noteWithheld(fate == Fate::Delayed ? UnitMetrics::Withheld::Delayed
                                                     : UnitMetrics::Withheld::Held,
                               m_outgoing->command);
        m_heldBack[hold] = std::move(*m_outgoing);
        break;
    }
}

void UnitSession::noteWritten(Outgoing& outgoing)
{
    JournalEvent& event = outgoing.event;
    if (outgoing.arrivalUs >= 0)
        event.latencyUs = JournalTap::steadyNowUs() - outgoing.arrivalUs;
    if (!outgoing.rules.isEmpty())
        event.keys.insert(QStringLiteral("faults"), QJsonArray::fromStringList(outgoing.rules));
    m_journal.append(std::move(event));
}

QString UnitSession::lineRefusal(const FaultRule& rule) const
{
    const bool signal =
        rule.action() == FaultRule::Action::Break || rule.action() == FaultRule::Action::Modem;
    if (!signal || !m_device || !m_device->isOpen() || m_device->line()->carriesSignals())
        return QString();
    return QStringLiteral("%1 carries no %2 (a pty or raw TCP; RFC 2217 and a real port do)")
        .arg(m_portName, rule.action() == FaultRule::Action::Break ? QStringLiteral("break")
                                                                   : QStringLiteral("modem lines"));
}

void UnitSession::lineEvent(FaultRule::Action action, std::uint32_t ms)
{
    if (action == FaultRule::Action::Vanish) {
        m_outage.start(int(ms));
        return;
    }
    if (!m_device || !m_device->isOpen())
        return;
    if (!m_device->line()->sendBreak(int(ms))) {
        VLOG(1, QStringLiteral("break: not possible on %1 (a pty or raw TCP carries none)").arg(m_portName));
        return;
    }
    VLOG(1, QStringLiteral("break toward the PC for %1 ms").arg(ms));
    m_journal.append(JournalEvent::Type::Line, {{QStringLiteral("event"), QStringLiteral("break")},
                                                {QStringLiteral("endpoint"), m_portName},
                                                {QStringLiteral("ms"), qint64(ms)}});
}

void UnitSession::setModemLines(std::uint8_t off)
{
    m_modemOff = off;
    if (!m_device || !m_device->isOpen())
        return;
    const auto onOff = [off](std::uint8_t bit) {
        return off & bit ? QStringLiteral("off") : QStringLiteral("on");
    };
    if (!m_device->line()->setModemLinesOff(off)) {
        VLOG(1, QStringLiteral("modem lines: not possible on %1 (a pty or raw TCP carries none)")
                    .arg(m_portName));
        return;
    }
    VLOG(1, QStringLiteral("modem lines toward the PC: DSR %1, CTS %2, DCD %3")
                .arg(onOff(LineTransport::kDsr), onOff(LineTransport::kCts), onOff(LineTransport::kDcd)));
}

void UnitSession::noteLine(const QString& what)
{
    m_journal.append(JournalEvent::Type::Line,
                     {{QStringLiteral("event"), what}, {QStringLiteral("endpoint"), m_endpoint}});
}

void UnitSession::noteScenarioLoaded(const QString& path)
{
    m_journal.append(JournalEvent::Type::Scenario, {{QStringLiteral("path"), path}});
}

bool UnitSession::reopenLine()
{
    if (!m_device) {
        m_lastError = QStringLiteral("the session is closed");
        return false;
    }
    if (m_device->isOpen() || m_device->Open()) {
        noteLine(QStringLiteral("reopened"));
        return true;
    }
    m_lastError = m_device->errorString();
    return false;
}

void UnitSession::resetRecordedState()
{
    m_state.reset();
    m_journal.append(JournalEvent::Type::StateReset, QJsonObject());
}

UnitSession::~UnitSession()
{
    close();
    // A unit given to the session outlives it (the window's): it must not call into it later.
    if (!m_ownUnit) {
        m_unit->setReplyChannel({});
        m_unit->setLineFinder({});
        m_unit->setRecordPause({});
    }
}

bool UnitSession::open(const Settings& settings)
{
    if (m_device)
        return false;
    Endpoint endpoint;
    if (!Endpoint::parse(settings.portName, &endpoint, &m_lastError))
        return false;
    m_lineTiming = settings.lineTiming;
    const SerialSettings serial(settings.baudRate, settings.dataBits, settings.stopBits, settings.parity);
    m_fallbackCharacterNs = serial.characterNs();
    return openLine(settings.portName, endpoint.makeUnitLine(serial), settings.parseThread);
}

bool UnitSession::open(const QString& name, std::unique_ptr<LineTransport> line)
{
    if (m_device)
        return false;
    return openLine(name, std::move(line), false);
}

bool UnitSession::openLine(const QString& name, std::unique_ptr<LineTransport> line, bool parseThread)
{
    watchLine(line.get());
    // The session's child, so an event for it is known as this unit's (its log lines' prefix).
    m_ownDevice = std::make_unique<Device>(name, std::move(line), this);
    m_ownDevice->line()->setParent(m_ownDevice.get());
    const QString previous = m_portName;
    m_portName = name;
    if (!start(m_ownDevice.get(), parseThread)) {
        m_ownDevice.reset(); // its connections go with it
        m_portName = previous;
        return false;
    }
    return true;
}

bool UnitSession::start(Device* device, bool parseThread)
{
    // Before the fault stage's connection: each request's arrival is taken as it reaches the gate.
    device->reader()->setRequestSink([this](UnitRequest request) {
        m_gated = {request.seq, request.arrivedUs};
        m_faults.pass(std::move(request));
    });
    connect(device, &Device::line_lost, this, [this] {
        noteLine(QStringLiteral("lost"));
        emit line_lost();
    });
    m_tap.setNext(m_observer);
    device->setLineObserver(&m_tap);
    device->setLineTiming(m_lineTiming, m_fallbackCharacterNs);
    device->writer()->setHeldEnded([this](std::uint64_t hold, bool written) {
        noteFate(written ? FaultStage::ReplyFate::Written : FaultStage::ReplyFate::Dropped, hold, {});
    });
    if (!device->Open()) {
        m_lastError = device->errorString();
        return false;
    }
    if (parseThread)
        device->reader()->startParseThread();
    m_device = device;
    m_lastError.clear();
    m_endpoint = m_portName;
    Endpoint asked;
    if (device->line() && Endpoint::parse(m_portName, &asked, nullptr) && asked.isNetwork() &&
        asked.port() == 0)
        m_endpoint = device->line()->name();
    m_state.setEndpoint(m_endpoint);
    if (!m_lineTiming.isOff())
        VLOG(1, m_lineTiming.text());
    if (m_modemOff)
        setModemLines(m_modemOff);
    noteLine(m_everOpened ? QStringLiteral("reopened") : QStringLiteral("opened"));
    m_everOpened = true;
    return true;
}

UnitSession* UnitSession::of(QObject* object)
{
    for (; object; object = object->parent())
        if (auto* session = qobject_cast<UnitSession*>(object))
            return session;
    return nullptr;
}

void UnitSession::watchLine(LineTransport* line)
{
    connect(line, &LineTransport::message, this, [](const QString& text) { VLOG(1, text); });
    connect(line, &LineTransport::peerConnected, this, [this](const QString& peer) {
        m_dtr = true; // a new client starts with DTR on
        m_journal.append(JournalEvent::Type::Line,
                         {{QStringLiteral("event"), QStringLiteral("client connected")},
                          {QStringLiteral("endpoint"), m_endpoint},
                          {QStringLiteral("peer"), peer}});
    });
    connect(line, &LineTransport::settingsChanged, this, [this](const QString& text) {
        m_journal.append(JournalEvent::Type::Line,
                         {{QStringLiteral("event"), QStringLiteral("settings changed")},
                          {QStringLiteral("endpoint"), m_endpoint},
                          {QStringLiteral("settings"), text}});
    });
    connect(line, &LineTransport::controlLinesChanged, this, [this](bool dtr, bool rts) {
        const bool dropped = m_dtr && !dtr;
        m_dtr = dtr;
        m_state.setControlLines(dtr, rts);
        m_journal.append(JournalEvent::Type::Line,
                         {{QStringLiteral("event"), QStringLiteral("control lines")},
                          {QStringLiteral("endpoint"), m_portName},
                          {QStringLiteral("dtr"), dtr},
                          {QStringLiteral("rts"), rts}});
        if (dropped && m_unit->isUploading() && m_unit->stopsUploadOnDtrDrop()) {
            VLOG(1, QStringLiteral("DTR dropped: the upload stops (on_dtr_drop)"));
            m_unit->stopUpload();
        }
    });
    // As a typed stop: the upload ends at its next record, with its end frame.
    connect(line, &LineTransport::peerGone, this, [this] {
        noteLine(QStringLiteral("client gone"));
        m_unit->stopUpload();
    });
}

void UnitSession::setLineObserver(LineObserver* observer)
{
    m_observer = observer;
    m_tap.setNext(observer);
    // Under the device's buffer lock: a frame being shown on the parse thread is through with
    // the old watcher before the caller may let it go.
    if (m_device)
        m_device->setLineObserver(&m_tap);
}

void UnitSession::close()
{
    m_outage.cancel();
    if (!m_device)
        return;
    // Whoever closes it (a shutdown, the host going), the device's lines name this unit.
    const LogContext::Scope unit(m_logPrefix);
    Device* device = m_device;
    m_device = nullptr;
    device->reader()->stopParseThread();
    device->reader()->setRequestSink({});
    device->setLineObserver(nullptr);
    disconnect(device, nullptr, &m_faults, nullptr);
    disconnect(device, nullptr, this, nullptr);
    device->Close();
    m_ownDevice.reset();
    noteLine(QStringLiteral("closed"));
}

void UnitSession::endUploadsAndClose(int flushBoundMs)
{
    if (!m_device)
        return;
    const LogContext::Scope unit(m_logPrefix);
    const bool uploading = m_unit->isUploading();
    m_unit->endUploads();
    LineWriter* writer = m_device->writer();
    // Held-back frames (a delayed start frame among them) go now, ahead of the end frame's drain,
    // and so does what line timing holds.
    writer->flushHeld();
    writer->flushLineTiming();
    if (uploading) {
        // Closing discards what Qt still buffers; a peer that stops reading cannot hold us past the bound.
        const QDeadlineTimer bound(flushBoundMs);
        while (writer->isOpen() && writer->bytesToWrite() > 0 && !bound.hasExpired()) {
            if (!writer->waitForBytesWritten(int(qMax<qint64>(1, bound.remainingTime()))))
                break;
        }
        // Closing also flushes the line's own queues (a pty's other end loses what it has
        // not read yet), so the end frame gets a moment on the line first.
        if (writer->isOpen() && !bound.hasExpired())
            QThread::msleep(static_cast<unsigned long>(qMin<qint64>(kLingerMs, bound.remainingTime())));
    }
    close();
}

UnitSession::Status UnitSession::status() const
{
    Status status;
    status.sent = m_upload.first;
    status.total = m_upload.second;
    status.endpoint = m_portName;
    if (!m_device || !m_device->isOpen()) {
        status.line = QStringLiteral("closed");
        return status;
    }
    status.line = QStringLiteral("open");
    if (!m_device->line())
        return status;
    status.endpoint = m_device->line()->name();
    if (const auto* listener = qobject_cast<const TcpServerTransport*>(m_device->line()))
        status.line = listener->hasClient() ? QStringLiteral("connected") : QStringLiteral("listening");
    return status;
}

void UnitSession::reset()
{
    m_faults.rules()->clear();
    m_journal.clear();
    resetRecordedState();
}

#include "fault/FaultStage.h"

#include "log/Log.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "protocol/UnitReply.h"
#include "transport/LineWriter.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

constexpr qint64 kNsPerMs = 1000000;

static_assert(ReplyTiming::kMaxMs <= FaultRule::kLongestMs, "a latency is no longer than a fault delay");

} // namespace

FaultStage::FaultStage(QObject* parent) : QObject(parent), m_schedule(m_rules.schedule())
{
    FaultRules::StageHooks hooks;
    hooks.lineRefusal = [this](const FaultRule& rule) {
        return m_target.lineRefusal ? m_target.lineRefusal(rule) : QString();
    };
    hooks.reset = [this](const QString& why) { reset(why); };
    hooks.reindexed = [this](const std::vector<int>& newIndex) { reindex(newIndex); };
    hooks.changed = [this] { updateLineState(); };
    hooks.timingSet = [this] {
        m_startHeldNs = 0;
        updateLineState();
    };
    m_rules.setStageHooks(std::move(hooks));
}

FaultStage::~FaultStage()
{
    if (m_garbled)
        m_garbled->setLineNoise({});
}

void FaultStage::setTarget(Target target)
{
    m_target = std::move(target);
}

void FaultStage::pass(UnitRequest request)
{
    // A request that arrives as a rule's time comes sees it started or ended, whichever of the
    // two events the loop takes first.
    if (m_rules.timelineDue())
        m_rules.advanceTimeline();
    const qint64 arrivalNs = m_rules.clock().nsecsElapsed();
    const std::uint64_t number = m_schedule.nextRequest();
    const unsigned char cmd = request.command;
    if (!m_schedule.hasActive() && m_rules.timing().isEmpty()) {
        request.number = ++m_delivered;
        if (m_target.deliver)
            m_target.deliver(request);
        return;
    }
    const qint64 now = m_rules.clock().elapsed();
    if (m_schedule.stalled(now)) {
        VLOG(1, QStringLiteral("FAULT %1 on cmd %2, request %3 (stalled)")
                    .arg(m_rules.stallRule())
                    .arg(cmd)
                    .arg(number));
        emit fault_fired(m_rules.stallRule(), QStringLiteral("stall"), number, -1);
        return;
    }
    // A line rule that fires for this request takes the line first: a vanished line loses it.
    const QList<int> lineFired = m_schedule.fireOnLine();
    if (!lineFired.isEmpty()) {
        logRequestFired(lineFired, cmd, number);
        m_rules.firesCounted();
        bool vanished = false;
        for (int index : lineFired) {
            const FaultRule& rule = m_schedule.entries()[std::size_t(index)].rule;
            vanished = vanished || rule.action() == FaultRule::Action::Vanish;
            fireLineEvent(rule);
        }
        if (vanished)
            return;
    }
    RequestContext context;
    context.number = number;
    context.cmd = cmd;
    context.fired = m_schedule.fireOnRequest(cmd);
    context.arrivalNs = arrivalNs;
    if (!context.fired.isEmpty())
        m_rules.firesCounted();
    for (int index : context.fired) {
        const FaultRule& rule = m_schedule.entries()[std::size_t(index)].rule;
        if (rule.action() == FaultRule::Action::Stall && !m_schedule.stalled(now)) {
            // The unit freezes: no reply to this request, none to those in the window.
            m_rules.openStall(index, now);
        }
    }
    if (m_schedule.stalled(now)) {
        logRequestFired(context.fired, cmd, number);
        return;
    }
    updateLineState();
    request.number = ++m_delivered;
    // Its replies go out while the unit handles it; later frames (an upload's) have rules of their own.
    m_contexts[request.number] = context;
    if (m_target.deliver)
        m_target.deliver(request);
    const auto it = m_contexts.find(request.number);
    // Fired although no frame went out (no port open): still one line each.
    if (it != m_contexts.end() && !it->second.logged)
        logRequestFired(context.fired, cmd, number);
    if (it != m_contexts.end())
        m_contexts.erase(it);
}

bool FaultStage::shapes(const LineWriter& writer) const
{
    return m_schedule.hasActive() || !m_rules.timing().isEmpty() || writer.holdsWrites();
}

std::vector<LineWriter::TimedWrite> FaultStage::shape(const UnitReply& typed, const QByteArray& frame,
                                                      const LineWriter& writer)
{
    std::vector<LineWriter::TimedWrite> writes;
    const std::uint8_t cmd = typed.command;
    Reply reply;
    reply.frame = frame;
    if (typed.kind == UnitReply::Kind::RecordData) {
        if (m_cutting) {
            tellFate(ReplyFate::Dropped, 0, {m_cutRule});
            return writes; // the unit has reset: the rest of the upload never comes
        }
        const std::uint32_t sequence = typed.sequence;
        const QList<int> fired = m_schedule.fireOnRecord(sequence);
        for (int index : fired)
            applyRule(m_schedule.entries()[std::size_t(index)].rule, reply);
        logFired(fired, cmd, sequence);
        emitReply(writer, reply, writes);
        const int stop = m_schedule.fireStopAfter(sequence);
        if (stop >= 0) {
            logFired({stop}, cmd, sequence);
            cutUpload(m_schedule.entries()[std::size_t(stop)].rule.text());
        }
        if (!fired.isEmpty() || stop >= 0)
            m_rules.firesCounted();
        return writes;
    }
    if (typed.kind == UnitReply::Kind::RecordEnd && m_cutting) {
        m_cutting = false;
        tellFate(ReplyFate::Dropped, 0, {m_cutRule});
        return writes;
    }

    QList<int> fired;
    const auto context = m_contexts.find(typed.request);
    RequestContext* request = context == m_contexts.end() ? nullptr : &context->second;
    if (request) {
        for (int index : request->fired) {
            const FaultRule& rule = m_schedule.entries()[std::size_t(index)].rule;
            if (rule.shapesReply()) {
                applyRule(rule, reply);
                fired << index;
            }
        }
        if (!request->logged) {
            request->logged = true;
            logRequestFired(request->fired, cmd, request->number);
        }
    }
    if (request && typed.kind != UnitReply::Kind::RecordEnd)
        reply.latencyNs = drawLatencyNs(*request, cmd);
    int stop = -1;
    if (typed.kind == UnitReply::Kind::RecordStart) {
        m_cutting = false;
        m_uploadRequest = request ? request->number : 0;
        stop = m_schedule.fireStopAfter(0);
        m_startHeldNs = reply.drop ? 0 : reply.latencyNs;
    }
    if (fired.isEmpty() && !writer.holdsWrites() && stop < 0 && reply.latencyNs == 0) {
        tellFate(ReplyFate::Written, 0);
        writes.push_back({frame});
        return writes;
    }
    emitReply(writer, reply, writes);
    if (stop >= 0) {
        logFired({stop}, cmd, 0);
        cutUpload(m_schedule.entries()[std::size_t(stop)].rule.text());
        m_rules.firesCounted();
    }
    return writes;
}

void FaultStage::applyRule(const FaultRule& rule, Reply& reply)
{
    QByteArray& frame = reply.frame;
    if (rule.shapesReply())
        reply.rules << rule.text();
    switch (rule.action()) {
    case FaultRule::Action::Drop:
        reply.drop = true;
        break;
    case FaultRule::Action::Delay:
        reply.delayMs += m_schedule.drawBetween(rule.value(), rule.value2());
        break;
    case FaultRule::Action::CorruptCrc:
        if (reply.whole) {
            frame[frame.size() - 2] = static_cast<char>(frame.at(frame.size() - 2) ^ 0xFF);
            frame[frame.size() - 1] = static_cast<char>(frame.at(frame.size() - 1) ^ 0xFF);
        }
        break;
    case FaultRule::Action::Truncate:
        if (rule.value() < std::uint32_t(frame.size())) {
            frame.truncate(int(rule.value()));
            reply.whole = false;
        }
        break;
    case FaultRule::Action::Split:
        reply.pieces = std::max<std::uint32_t>(1, rule.value2());
        reply.gapMs = rule.value();
        break;
    case FaultRule::Action::Noise:
        reply.noise += m_schedule.noise(int(rule.value()));
        break;
    case FaultRule::Action::WrongCommand:
        FrameView::patchCommand(frame, static_cast<std::uint8_t>(rule.value()));
        if (reply.whole)
            FrameView::patchChecksum(frame);
        break;
    case FaultRule::Action::WrongAddress:
        FrameView::patchAddress(frame, static_cast<std::uint16_t>(rule.value()));
        if (reply.whole)
            FrameView::patchChecksum(frame);
        break;
    case FaultRule::Action::Duplicate:
        reply.duplicate = true;
        break;
    case FaultRule::Action::Stall:
    case FaultRule::Action::StopAfter:
    case FaultRule::Action::Vanish:
    case FaultRule::Action::Break:
    case FaultRule::Action::Garble:
    case FaultRule::Action::Modem:
        break;
    }
}

void FaultStage::emitReply(const LineWriter& writer, const Reply& reply,
                           std::vector<LineWriter::TimedWrite>& writes)
{
    QByteArray payload = reply.noise + reply.frame;
    if (reply.duplicate)
        payload += reply.frame;
    if (reply.drop || payload.isEmpty()) {
        tellFate(ReplyFate::Dropped, 0, reply.rules);
        return;
    }
    if (!writer.holdsWrites()) {
        m_overflowLogged = false;
        if (reply.delayMs == 0 && reply.latencyNs == 0 && reply.pieces <= 1) {
            tellFate(ReplyFate::Written, 0, reply.rules);
            writes.push_back({payload});
            return;
        }
    }
    if (writer.heldReplies() >= kMaxHeldReplies || writer.heldBytes() + payload.size() > kMaxHeldBytes) {
        if (!m_overflowLogged) {
            m_overflowLogged = true;
            VLOG(1, QStringLiteral("fault: %1 replies (%2 bytes) already held back, further replies dropped "
                                   "until they are written")
                        .arg(writer.heldReplies())
                        .arg(writer.heldBytes()));
        }
        tellFate(ReplyFate::Dropped, 0, reply.rules);
        return;
    }
    // Writes never overtake each other: a late reply holds back the ones after it. Stacked
    // delays add up in 64 bits and wait no longer than the longest single delay.
    const qint64 delay = qint64(std::min<std::uint64_t>(reply.delayMs, FaultRule::kLongestMs));
    qint64 due = LineWriter::nowNs() + delay * kNsPerMs + reply.latencyNs;
    if (writer.holdsWrites())
        due = std::max(due, writer.lastDueNs());
    const std::uint64_t hold = ++m_lastHold;
    const bool delayed = reply.delayMs > 0 || reply.latencyNs > 0 || reply.pieces > 1;
    tellFate(delayed ? ReplyFate::Delayed : ReplyFate::Held, hold, reply.rules);
    // No more pieces than bytes, so every gap falls between bytes that are written.
    const int size = payload.size();
    const int pieces = int(std::min<std::uint64_t>(reply.pieces, std::uint64_t(size)));
    for (int i = 0; i < pieces; ++i) {
        const int begin = int(qint64(size) * i / pieces);
        const int end = int(qint64(size) * (i + 1) / pieces);
        writes.push_back(
            {payload.mid(begin, end - begin), due, i + 1 == pieces ? hold : 0, reply.latencyNs > 0});
        due += qint64(reply.gapMs) * kNsPerMs;
    }
}

void FaultStage::tellFate(ReplyFate fate, std::uint64_t hold, const QStringList& rules)
{
    if (m_target.replyFate)
        m_target.replyFate(fate, hold, rules);
}

void FaultStage::dropPending(const QString& why)
{
    LineWriter* writer = m_target.writer ? m_target.writer() : nullptr;
    if (!writer || !writer->holdsWrites())
        return;
    VLOG(1, QStringLiteral("fault: %1 held-back replies dropped, %2").arg(writer->heldReplies()).arg(why));
    m_overflowLogged = false;
    writer->dropHeld();
}

qint64 FaultStage::drawLatencyNs(RequestContext& request, std::uint8_t cmd)
{
    if (request.arrivalNs < 0)
        return 0;
    const std::vector<double>& samples = m_rules.timing().latencies(cmd);
    const qint64 arrival = request.arrivalNs;
    request.arrivalNs = -1; // one latency per request: its later frames follow at once
    if (samples.empty())
        return 0;
    const qint64 due =
        arrival + std::llround(ReplyTiming::pick(samples, m_schedule.draw()) * double(kNsPerMs));
    return std::max<qint64>(0, due - m_rules.clock().nsecsElapsed());
}

qint64 FaultStage::recordPauseNs(UnitReply::Kind handedOver, qint64 minimumNs)
{
    qint64 pause = minimumNs;
    if (!m_rules.timing().intervals().empty())
        pause =
            std::max(pause, std::llround(ReplyTiming::pick(m_rules.timing().intervals(), m_schedule.draw()) *
                                         double(kNsPerMs)));
    if (handedOver == UnitReply::Kind::RecordStart) {
        pause += m_startHeldNs;
        m_startHeldNs = 0;
    }
    return pause;
}

void FaultStage::logFired(const QList<int>& fired, std::uint8_t cmd, std::uint32_t record)
{
    for (int index : fired) {
        const FaultRule& rule = m_schedule.entries()[std::size_t(index)].rule;
        VLOG(1, QStringLiteral("FAULT %1 on cmd %2, request %3, record %4")
                    .arg(rule.text())
                    .arg(cmd)
                    .arg(m_uploadRequest)
                    .arg(record));
        emit fault_fired(rule.text(), rule.actionName(), m_uploadRequest, qint64(record));
    }
}

void FaultStage::logRequestFired(const QList<int>& fired, std::uint8_t cmd, std::uint64_t number)
{
    // The request counts every request since start or clear; the match counts this rule's
    // matching requests since it was added, which is what its @N refers to.
    for (int index : fired) {
        const FaultSchedule::Entry& entry = m_schedule.entries()[std::size_t(index)];
        VLOG(1, QStringLiteral("FAULT %1 on cmd %2, request %3, match %4")
                    .arg(entry.rule.text())
                    .arg(cmd)
                    .arg(number)
                    .arg(entry.matches));
        emit fault_fired(entry.rule.text(), entry.rule.actionName(), number, -1);
    }
}

void FaultStage::cutUpload(const QString& rule)
{
    m_cutting = true;
    m_cutRule = rule;
    // Not from inside the send that got here: the upload ends on the next turn of the loop.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_target.endUploads)
                m_target.endUploads();
        },
        Qt::QueuedConnection);
}

void FaultStage::reset(const QString& why)
{
    m_cutting = false;
    for (auto& context : m_contexts)
        context.second.fired.clear();
    dropPending(why);
}

void FaultStage::reindex(const std::vector<int>& newIndex)
{
    for (auto& context : m_contexts) {
        QList<int> kept;
        for (int index : context.second.fired) {
            if (newIndex[std::size_t(index)] >= 0)
                kept << newIndex[std::size_t(index)];
        }
        context.second.fired = kept;
    }
}

void FaultStage::fireLineEvent(const FaultRule& rule)
{
    // On the next turn of the loop: the line must not close under the call that got here.
    const FaultRule::Action action = rule.action();
    const std::uint32_t ms = rule.value();
    QMetaObject::invokeMethod(
        this,
        [this, action, ms] {
            if (m_target.lineEvent)
                m_target.lineEvent(action, ms);
        },
        Qt::QueuedConnection);
}

void FaultStage::updateLineState()
{
    std::uint8_t modemOff = 0;
    double keep = 1.0; // the chance a byte passes every garble rule
    for (int index : m_schedule.activeLineRules()) {
        const FaultSchedule::Entry& entry = m_schedule.entries()[std::size_t(index)];
        const FaultRule& rule = entry.rule;
        switch (rule.action()) {
        case FaultRule::Action::Modem:
            modemOff |= std::uint8_t(rule.value());
            break;
        case FaultRule::Action::Garble:
            keep *= 1.0 - rule.garbleChance();
            break;
        case FaultRule::Action::Vanish:
        case FaultRule::Action::Break:
            // Without a counted WHEN it acts once, as it starts.
            if (!rule.isCounted() && entry.fired == 0) {
                m_schedule.countFire(index);
                VLOG(1, QStringLiteral("FAULT %1 on the line").arg(rule.text()));
                emit fault_fired(rule.text(), rule.actionName(), 0, -1);
                fireLineEvent(rule);
            }
            break;
        default:
            break;
        }
    }
    if (modemOff != m_modemOff) {
        m_modemOff = modemOff;
        if (m_target.modemLines)
            m_target.modemLines(modemOff);
    }
    m_garble = 1.0 - keep;
    LineWriter* current = m_target.writer ? m_target.writer() : nullptr;
    const bool wanted = m_garble > 0.0;
    if (m_garbled && (m_garbled != current || !wanted)) {
        m_garbled->setLineNoise({});
        m_garbled = nullptr;
    }
    if (wanted && current && m_garbled != current) {
        current->setLineNoise([this](QByteArray& bytes) { garble(bytes); });
        m_garbled = current;
    }
}

void FaultStage::garble(QByteArray& bytes)
{
    // A byte hit is changed, never left as it was: a noisy cable's bit errors.
    for (int i = 0; i < bytes.size(); ++i) {
        if (m_schedule.draw() < m_garble)
            bytes[i] = char(std::uint8_t(bytes.at(i)) ^ std::uint8_t(m_schedule.drawBetween(1, 255)));
    }
}

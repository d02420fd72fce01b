#include "fault/FaultInjector.h"

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

FaultInjector::FaultInjector(QObject* parent) : QObject(parent)
{
    m_clock.start();
    m_timelineTimer.setParent(this);
    m_timelineTimer.setSingleShot(true);
    m_timelineTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timelineTimer, &QTimer::timeout, this, &FaultInjector::advanceTimeline);
}

FaultInjector::~FaultInjector()
{
    if (m_garbled)
        m_garbled->setLineNoise({});
}

namespace {

// All or nothing: the first malformed rule refuses the list.
bool parseAll(const QStringList& rules, QList<FaultRule>* parsed, QString* error)
{
    for (const QString& text : rules) {
        const auto rule = FaultRule::parse(text, error);
        if (!rule)
            return false;
        *parsed << *rule;
    }
    return true;
}

} // namespace

void FaultInjector::setTarget(Target target)
{
    m_target = std::move(target);
}

bool FaultInjector::setRules(const QStringList& rules, std::uint32_t seed, QString* error, int scenarioRules)
{
    QList<FaultRule> parsed;
    if (!parseAll(rules, &parsed, error) || refuseOnLine(parsed, error))
        return false;
    m_schedule.clear();
    m_schedule.setSeed(seed);
    m_cutting = false;
    for (auto& context : m_contexts)
        context.second.fired.clear();
    dropPending(QStringLiteral("the rules were replaced"));
    const qint64 now = m_clock.elapsed();
    for (int i = 0; i < parsed.size(); ++i) {
        m_schedule.add(parsed.at(i), i < scenarioRules, now);
        VLOG(1, QStringLiteral("fault rule added: %1").arg(parsed.at(i).text()));
    }
    if (!parsed.isEmpty())
        VLOG(1, QStringLiteral("fault seed: %1").arg(seed));
    armTimeline();
    updateLineState();
    emit rules_changed();
    return true;
}

bool FaultInjector::addRule(const QString& text, QString* error, int* id)
{
    const auto rule = FaultRule::parse(text, error);
    if (!rule || refuseOnLine({*rule}, error))
        return false;
    const int added = m_schedule.add(*rule, false, m_clock.elapsed());
    if (id)
        *id = added;
    VLOG(1, QStringLiteral("fault rule added: %1").arg(rule->text()));
    armTimeline();
    updateLineState();
    emit rules_changed();
    return true;
}

bool FaultInjector::removeRule(int id)
{
    contextsToIds();
    const std::optional<FaultSchedule::Entry> removed = m_schedule.remove(id);
    contextsToIndices();
    if (!removed)
        return false;
    if (removed->id == m_stallId)
        m_schedule.openStall(0, 0); // the freeze it began ends with it
    VLOG(1, QStringLiteral("fault rule removed: %1").arg(removed->rule.text()));
    armTimeline();
    updateLineState();
    emit rules_changed();
    return true;
}

void FaultInjector::contextsToIds()
{
    const std::vector<FaultSchedule::Entry>& entries = m_schedule.entries();
    for (auto& context : m_contexts) {
        for (int& index : context.second.fired)
            index = entries[std::size_t(index)].id;
    }
}

void FaultInjector::contextsToIndices()
{
    if (m_contexts.empty())
        return;
    std::map<int, int> indexOf;
    const std::vector<FaultSchedule::Entry>& entries = m_schedule.entries();
    for (int i = 0; i < int(entries.size()); ++i)
        indexOf[entries[std::size_t(i)].id] = i;
    for (auto& context : m_contexts) {
        QList<int> kept;
        for (int id : context.second.fired) {
            const auto it = indexOf.find(id);
            if (it != indexOf.end())
                kept << it->second;
        }
        context.second.fired = kept;
    }
}

void FaultInjector::clear()
{
    m_schedule.clear();
    m_cutting = false;
    for (auto& context : m_contexts)
        context.second.fired.clear();
    VLOG(1, QStringLiteral("fault rules cleared"));
    dropPending(QStringLiteral("the rules were cleared"));
    armTimeline();
    updateLineState();
    emit rules_changed();
}

void FaultInjector::setSeed(std::uint32_t seed)
{
    m_baseSeed = seed;
    m_schedule.setSeed(seed);
}

bool FaultInjector::takeScenarioRules(const QStringList& rules, std::optional<std::uint32_t> seed,
                                      QString* error)
{
    QList<FaultRule> parsed;
    if (!parseAll(rules, &parsed, error) || refuseOnLine(parsed, error))
        return false;
    contextsToIds();
    const std::vector<FaultSchedule::Entry> removed = m_schedule.removeScenarioRules();
    contextsToIndices();
    for (const FaultSchedule::Entry& entry : removed) {
        VLOG(1, QStringLiteral("fault rule removed with its scenario: %1").arg(entry.rule.text()));
        if (entry.id == m_stallId)
            m_schedule.openStall(0, 0); // the freeze it began ends with it
    }
    // Drawn again from the seed as the scenario's rules begin; the seed an earlier file gave goes.
    const std::uint32_t newSeed = seed.value_or(m_baseSeed);
    if (seed || !parsed.isEmpty() || newSeed != m_schedule.seed())
        m_schedule.setSeed(newSeed);
    const qint64 now = m_clock.elapsed();
    for (const FaultRule& rule : parsed) {
        m_schedule.add(rule, true, now);
        VLOG(1, QStringLiteral("fault rule added: %1").arg(rule.text()));
    }
    if (!parsed.isEmpty())
        VLOG(1, QStringLiteral("fault seed: %1").arg(m_schedule.seed()));
    if (!parsed.isEmpty() || !removed.empty()) {
        armTimeline();
        updateLineState();
        emit rules_changed();
    }
    return true;
}

QList<FaultInjector::RuleStatus> FaultInjector::rules() const
{
    QList<RuleStatus> list;
    for (const FaultSchedule::Entry& entry : m_schedule.entries())
        list << RuleStatus{entry.id, entry.rule.text(), entry.fired,
                           QString::fromLatin1(FaultSchedule::stateName(entry.state))};
    return list;
}

QStringList FaultInjector::listing() const
{
    QStringList lines;
    int index = 0;
    for (const FaultSchedule::Entry& entry : m_schedule.entries()) {
        QString line = QStringLiteral("fault rule %1: %2, fired %3")
                           .arg(++index)
                           .arg(entry.rule.text())
                           .arg(entry.fired);
        if (entry.rule.hasTimeline())
            line += QStringLiteral(", ") + QString::fromLatin1(FaultSchedule::stateName(entry.state));
        lines << line;
    }
    if (lines.isEmpty())
        lines << QStringLiteral("fault rules: none");
    return lines;
}

void FaultInjector::advanceTimeline()
{
    const std::vector<FaultSchedule::Transition> changes = m_schedule.advance(m_clock.elapsed());
    for (const FaultSchedule::Transition& change : changes) {
        const auto& entries = m_schedule.entries();
        const auto entry = std::find_if(entries.cbegin(), entries.cend(),
                                        [&](const FaultSchedule::Entry& e) { return e.id == change.id; });
        const QString text = entry->rule.text();
        if (change.state == FaultSchedule::State::Active) {
            VLOG(1, QStringLiteral("fault rule active: %1").arg(text));
            continue;
        }
        if (change.id == m_stallId)
            m_schedule.openStall(0, 0); // the freeze it began ends with it
        VLOG(1, QStringLiteral("FAULT %1 ended").arg(text));
        emit rule_ended(text);
    }
    armTimeline();
    if (!changes.empty()) {
        updateLineState();
        emit rules_changed();
    }
}

void FaultInjector::armTimeline()
{
    const qint64 due = m_schedule.nextDueMs();
    if (due == FaultSchedule::kNever) {
        m_timelineTimer.stop();
        return;
    }
    m_timelineTimer.start(int(std::max<qint64>(0, due - m_clock.elapsed())));
}

void FaultInjector::slot_recvData(QString portName, unsigned char cmd, QByteArray data)
{
    // A request that arrives as a rule's time comes sees it started or ended, whichever of the
    // two events the loop takes first.
    if (m_schedule.nextDueMs() <= m_clock.elapsed())
        advanceTimeline();
    const qint64 arrivalNs = m_clock.nsecsElapsed();
    const std::uint64_t number = m_schedule.nextRequest();
    if (!m_schedule.hasActive() && m_timing.isEmpty()) {
        if (m_target.deliver)
            m_target.deliver(portName, cmd, data, ++m_delivered);
        return;
    }
    const qint64 now = m_clock.elapsed();
    if (m_schedule.stalled(now)) {
        VLOG(
            1,
            QStringLiteral("FAULT %1 on cmd %2, request %3 (stalled)").arg(m_stallRule).arg(cmd).arg(number));
        emit fault_fired(m_stallRule, QStringLiteral("stall"), number, -1);
        return;
    }
    // A line rule that fires for this request takes the line first: a vanished line loses it.
    const QList<int> lineFired = m_schedule.fireOnLine();
    if (!lineFired.isEmpty()) {
        logRequestFired(lineFired, cmd, number);
        emit rules_changed();
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
        emit rules_changed();
    for (int index : context.fired) {
        const FaultRule& rule = m_schedule.entries()[std::size_t(index)].rule;
        if (rule.action() == FaultRule::Action::Stall && !m_schedule.stalled(now)) {
            // The unit freezes: no reply to this request, none to those in the window.
            m_schedule.openStall(now, rule.value());
            m_stallRule = rule.text();
            m_stallId = m_schedule.entries()[std::size_t(index)].id;
        }
    }
    if (m_schedule.stalled(now)) {
        logRequestFired(context.fired, cmd, number);
        return;
    }
    updateLineState();
    const std::uint64_t request = ++m_delivered;
    // Its replies go out while the unit handles it; later frames (an upload's) have rules of their own.
    m_contexts[request] = context;
    if (m_target.deliver)
        m_target.deliver(portName, cmd, data, request);
    const auto it = m_contexts.find(request);
    // Fired although no frame went out (no port open): still one line each.
    if (it != m_contexts.end() && !it->second.logged)
        logRequestFired(context.fired, cmd, number);
    if (it != m_contexts.end())
        m_contexts.erase(it);
}

bool FaultInjector::shapes(const LineWriter& writer) const
{
    return m_schedule.hasActive() || !m_timing.isEmpty() || writer.holdsWrites();
}

std::vector<LineWriter::TimedWrite> FaultInjector::shape(const UnitReply& typed, const QByteArray& frame,
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
            emit rules_changed();
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
        emit rules_changed();
    }
    return writes;
}

void FaultInjector::applyRule(const FaultRule& rule, Reply& reply)
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

void FaultInjector::emitReply(const LineWriter& writer, const Reply& reply,
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

void FaultInjector::tellFate(ReplyFate fate, std::uint64_t hold, const QStringList& rules)
{
    if (m_target.replyFate)
        m_target.replyFate(fate, hold, rules);
}

void FaultInjector::dropPending(const QString& why)
{
    LineWriter* writer = m_target.writer ? m_target.writer() : nullptr;
    if (!writer || !writer->holdsWrites())
        return;
    VLOG(1, QStringLiteral("fault: %1 held-back replies dropped, %2").arg(writer->heldReplies()).arg(why));
    m_overflowLogged = false;
    writer->dropHeld();
}

void FaultInjector::setTiming(const ReplyTiming& timing)
{
    m_timing = timing;
    m_startHeldNs = 0;
    // Each scenario with timing draws its samples from the seed again.
    if (!m_timing.isEmpty())
        m_schedule.setSeed(m_schedule.seed());
    updateLineState();
}

qint64 FaultInjector::drawLatencyNs(RequestContext& request, std::uint8_t cmd)
{
    if (request.arrivalNs < 0)
        return 0;
    const std::vector<double>& samples = m_timing.latencies(cmd);
    const qint64 arrival = request.arrivalNs;
    request.arrivalNs = -1; // one latency per request: its later frames follow at once
    if (samples.empty())
        return 0;
    const qint64 due =
        arrival + std::llround(ReplyTiming::pick(samples, m_schedule.draw()) * double(kNsPerMs));
    return std::max<qint64>(0, due - m_clock.nsecsElapsed());
}

qint64 FaultInjector::recordPauseNs(UnitReply::Kind handedOver, qint64 minimumNs)
{
    qint64 pause = minimumNs;
    if (!m_timing.intervals().empty())
        pause = std::max(pause, std::llround(ReplyTiming::pick(m_timing.intervals(), m_schedule.draw()) *
                                             double(kNsPerMs)));
    if (handedOver == UnitReply::Kind::RecordStart) {
        pause += m_startHeldNs;
        m_startHeldNs = 0;
    }
    return pause;
}

void FaultInjector::logFired(const QList<int>& fired, std::uint8_t cmd, std::uint32_t record)
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

void FaultInjector::logRequestFired(const QList<int>& fired, std::uint8_t cmd, std::uint64_t number)
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

void FaultInjector::cutUpload(const QString& rule)
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

bool FaultInjector::refuseOnLine(const QList<FaultRule>& rules, QString* error) const
{
    if (!m_target.lineRefusal)
        return false;
    for (const FaultRule& rule : rules) {
        if (rule.target() != FaultRule::Target::Line)
            continue;
        const QString why = m_target.lineRefusal(rule);
        if (!why.isEmpty()) {
            if (error)
                *error = QStringLiteral("fault rule \"%1\": %2").arg(rule.text(), why);
            return true;
        }
    }
    return false;
}

void FaultInjector::fireLineEvent(const FaultRule& rule)
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

void FaultInjector::updateLineState()
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

void FaultInjector::garble(QByteArray& bytes)
{
    // A byte hit is changed, never left as it was: a noisy cable's bit errors.
    for (int i = 0; i < bytes.size(); ++i) {
        if (m_schedule.draw() < m_garble)
            bytes[i] = char(std::uint8_t(bytes.at(i)) ^ std::uint8_t(m_schedule.drawBetween(1, 255)));
    }
}

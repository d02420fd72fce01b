#include "fault/FaultRules.h"

#include "log/Log.h"

#include <algorithm>
#include <map>

FaultRules::FaultRules(QObject* parent) : QObject(parent)
{
    m_clock.start();
    m_timelineTimer.setParent(this);
    m_timelineTimer.setSingleShot(true);
    m_timelineTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_timelineTimer, &QTimer::timeout, this, &FaultRules::advanceTimeline);
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

void FaultRules::setStageHooks(StageHooks hooks)
{
    m_hooks = std::move(hooks);
}

bool FaultRules::setRules(const QStringList& rules, std::uint32_t seed, QString* error, int scenarioRules)
{
    QList<FaultRule> parsed;
    if (!parseAll(rules, &parsed, error) || refuseOnLine(parsed, error))
        return false;
    m_schedule.clear();
    m_schedule.setSeed(seed);
    tellReset(QStringLiteral("the rules were replaced"));
    const qint64 now = m_clock.elapsed();
    for (int i = 0; i < parsed.size(); ++i) {
        m_schedule.add(parsed.at(i), i < scenarioRules, now);
        VLOG(1, QStringLiteral("fault rule added: %1").arg(parsed.at(i).text()));
    }
    if (!parsed.isEmpty())
        VLOG(1, QStringLiteral("fault seed: %1").arg(seed));
    armTimeline();
    tellChanged();
    emit rules_changed();
    return true;
}

bool FaultRules::addRule(const QString& text, QString* error, int* id)
{
    const auto rule = FaultRule::parse(text, error);
    if (!rule || refuseOnLine({*rule}, error))
        return false;
    const int added = m_schedule.add(*rule, false, m_clock.elapsed());
    if (id)
        *id = added;
    VLOG(1, QStringLiteral("fault rule added: %1").arg(rule->text()));
    armTimeline();
    tellChanged();
    emit rules_changed();
    return true;
}

bool FaultRules::removeRule(int id)
{
    const std::vector<int> before = ids();
    const std::optional<FaultSchedule::Entry> removed = m_schedule.remove(id);
    if (!removed)
        return false;
    tellReindexed(before);
    if (removed->id == m_stallId)
        m_schedule.openStall(0, 0); // the freeze it began ends with it
    VLOG(1, QStringLiteral("fault rule removed: %1").arg(removed->rule.text()));
    armTimeline();
    tellChanged();
    emit rules_changed();
    return true;
}

void FaultRules::clear()
{
    m_schedule.clear();
    VLOG(1, QStringLiteral("fault rules cleared"));
    tellReset(QStringLiteral("the rules were cleared"));
    armTimeline();
    tellChanged();
    emit rules_changed();
}

void FaultRules::setSeed(std::uint32_t seed)
{
    m_baseSeed = seed;
    m_schedule.setSeed(seed);
}

bool FaultRules::takeScenarioRules(const QStringList& rules, std::optional<std::uint32_t> seed,
                                   QString* error)
{
    QList<FaultRule> parsed;
    if (!parseAll(rules, &parsed, error) || refuseOnLine(parsed, error))
        return false;
    const std::vector<int> before = ids();
    const std::vector<FaultSchedule::Entry> removed = m_schedule.removeScenarioRules();
    if (!removed.empty())
        tellReindexed(before);
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
        tellChanged();
        emit rules_changed();
    }
    return true;
}

void FaultRules::setTiming(const ReplyTiming& timing)
{
    m_timing = timing;
    // Each scenario with timing draws its samples from the seed again.
    if (!m_timing.isEmpty())
        m_schedule.setSeed(m_schedule.seed());
    if (m_hooks.timingSet)
        m_hooks.timingSet();
}

QList<FaultRules::RuleStatus> FaultRules::rules() const
{
    QList<RuleStatus> list;
    for (const FaultSchedule::Entry& entry : m_schedule.entries())
        list << RuleStatus{entry.id, entry.rule.text(), entry.fired,
                           QString::fromLatin1(FaultSchedule::stateName(entry.state))};
    return list;
}

QStringList FaultRules::listing() const
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

void FaultRules::advanceTimeline()
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
        tellChanged();
        emit rules_changed();
    }
}

void FaultRules::armTimeline()
{
    const qint64 due = m_schedule.nextDueMs();
    if (due == FaultSchedule::kNever) {
        m_timelineTimer.stop();
        return;
    }
    m_timelineTimer.start(int(std::max<qint64>(0, due - m_clock.elapsed())));
}

void FaultRules::openStall(int index, qint64 now)
{
    const FaultSchedule::Entry& entry = m_schedule.entries()[std::size_t(index)];
    m_schedule.openStall(now, entry.rule.value());
    m_stallRule = entry.rule.text();
    m_stallId = entry.id;
}

bool FaultRules::refuseOnLine(const QList<FaultRule>& rules, QString* error) const
{
    if (!m_hooks.lineRefusal)
        return false;
    for (const FaultRule& rule : rules) {
        if (rule.target() != FaultRule::Target::Line)
            continue;
        const QString why = m_hooks.lineRefusal(rule);
        if (!why.isEmpty()) {
            if (error)
                *error = QStringLiteral("fault rule \"%1\": %2").arg(rule.text(), why);
            return true;
        }
    }
    return false;
}

void FaultRules::tellReset(const QString& why)
{
    if (m_hooks.reset)
        m_hooks.reset(why);
}

std::vector<int> FaultRules::ids() const
{
    std::vector<int> list;
    for (const FaultSchedule::Entry& entry : m_schedule.entries())
        list.push_back(entry.id);
    return list;
}

void FaultRules::tellReindexed(const std::vector<int>& idsBefore)
{
    if (!m_hooks.reindexed)
        return;
    std::map<int, int> indexOf;
    const std::vector<FaultSchedule::Entry>& entries = m_schedule.entries();
    for (int i = 0; i < int(entries.size()); ++i)
        indexOf[entries[std::size_t(i)].id] = i;
    std::vector<int> newIndex;
    for (int id : idsBefore) {
        const auto it = indexOf.find(id);
        newIndex.push_back(it == indexOf.end() ? -1 : it->second);
    }
    m_hooks.reindexed(newIndex);
}

void FaultRules::tellChanged()
{
    if (m_hooks.changed)
        m_hooks.changed();
}

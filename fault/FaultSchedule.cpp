#include "fault/FaultSchedule.h"

#include "protocol/WireFormat.h"

#include <algorithm>

FaultSchedule::FaultSchedule(std::uint32_t seed) : m_seed(seed), m_generator(seed) {}

int FaultSchedule::add(const FaultRule& rule, bool fromScenario, std::int64_t nowMs)
{
    Entry entry{rule, 0, 0, fromScenario, ++m_lastId};
    if (rule.afterMs() != 0) {
        entry.state = State::Waiting;
        entry.dueMs = nowMs + rule.afterMs();
    } else {
        entry.dueMs = rule.forMs() != 0 ? nowMs + rule.forMs() : kNever;
    }
    m_nextDue = std::min(m_nextDue, entry.dueMs);
    m_entries.push_back(std::move(entry));
    index(int(m_entries.size()) - 1);
    return m_lastId;
}

std::vector<FaultSchedule::Transition> FaultSchedule::advance(std::int64_t nowMs)
{
    std::vector<Transition> changes;
    if (m_nextDue > nowMs)
        return changes;
    for (Entry& entry : m_entries) {
        // A late check (or a short for=) may take a rule through both steps at once.
        while (entry.dueMs <= nowMs) {
            const std::int64_t at = entry.dueMs;
            if (entry.state == State::Waiting) {
                // Timed from when it should have started, so a late timer does not stretch it.
                entry.state = State::Active;
                entry.dueMs = entry.rule.forMs() != 0 ? at + entry.rule.forMs() : kNever;
            } else {
                entry.state = State::Ended;
                entry.dueMs = kNever;
            }
            changes.push_back(Transition{entry.id, entry.state, at});
        }
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Transition& a, const Transition& b) { return a.atMs < b.atMs; });
    rebuildIndex();
    findNextDue();
    return changes;
}

void FaultSchedule::findNextDue()
{
    m_nextDue = kNever;
    for (const Entry& entry : m_entries)
        m_nextDue = std::min(m_nextDue, entry.dueMs);
}

const char* FaultSchedule::stateName(State state)
{
    switch (state) {
    case State::Waiting:
        return "waiting";
    case State::Active:
        return "active";
    case State::Ended:
        return "ended";
    }
    return "active";
}

std::optional<FaultSchedule::Entry> FaultSchedule::remove(int id)
{
    const auto it =
        std::find_if(m_entries.begin(), m_entries.end(), [id](const Entry& entry) { return entry.id == id; });
    if (it == m_entries.end())
        return std::nullopt;
    Entry removed = std::move(*it);
    m_entries.erase(it);
    rebuildIndex();
    findNextDue();
    return removed;
}

void FaultSchedule::index(int i)
{
    const Entry& entry = m_entries[std::size_t(i)];
    if (entry.state != State::Active)
        return;
    ++m_active;
    const FaultRule& rule = entry.rule;
    switch (rule.target()) {
    case FaultRule::Target::Command:
        m_byCommand[rule.command()].push_back(i);
        break;
    case FaultRule::Target::Any:
        m_anyCommand.push_back(i);
        break;
    case FaultRule::Target::Record:
        (rule.action() == FaultRule::Action::StopAfter ? m_stopAfter : m_records).push_back(i);
        break;
    case FaultRule::Target::Line:
        m_line.push_back(i);
        break;
    }
}

void FaultSchedule::clearIndex()
{
    for (std::vector<int>& list : m_byCommand)
        list.clear();
    m_anyCommand.clear();
    m_records.clear();
    m_stopAfter.clear();
    m_line.clear();
    m_active = 0;
}

std::vector<FaultSchedule::Entry> FaultSchedule::removeScenarioRules()
{
    std::vector<Entry> removed;
    std::vector<Entry> kept;
    for (Entry& entry : m_entries) {
        if (entry.fromScenario)
            removed.push_back(entry);
        else
            kept.push_back(std::move(entry));
    }
    m_entries = std::move(kept);
    rebuildIndex();
    findNextDue();
    return removed;
}

void FaultSchedule::rebuildIndex()
{
    // Indices shifted: built again in rule order.
    clearIndex();
    for (int i = 0; i < int(m_entries.size()); ++i)
        index(i);
}

void FaultSchedule::clear()
{
    m_entries.clear();
    clearIndex();
    m_nextDue = kNever;
    m_requests = 0;
    m_stallUntil = 0;
    m_generator.seed(m_seed);
}

void FaultSchedule::setSeed(std::uint32_t seed)
{
    m_seed = seed;
    m_generator.seed(seed);
}

bool FaultSchedule::fires(Entry& entry, std::uint64_t n)
{
    // Only p= rules draw, so adding a counted rule does not shift the others' draws.
    const double chance = entry.rule.when() == FaultRule::When::Chance ? draw() : 0.0;
    if (!entry.rule.firesOn(n, chance))
        return false;
    ++entry.fired;
    return true;
}

QList<int> FaultSchedule::fireOnRequest(std::uint8_t cmd)
{
    // The command's rules and the * rules, merged back into rule order.
    const std::vector<int>& own = m_byCommand[cmd];
    QList<int> fired;
    auto a = own.cbegin();
    auto b = m_anyCommand.cbegin();
    while (a != own.cend() || b != m_anyCommand.cend()) {
        const bool takeOwn = b == m_anyCommand.cend() || (a != own.cend() && *a < *b);
        const int i = takeOwn ? *a++ : *b++;
        Entry& entry = m_entries[std::size_t(i)];
        if (fires(entry, ++entry.matches))
            fired << i;
    }
    return fired;
}

QList<int> FaultSchedule::fireOnRecord(std::uint32_t sequence)
{
    QList<int> fired;
    for (int i : m_records) {
        Entry& entry = m_entries[std::size_t(i)];
        ++entry.matches;
        // A record's WHEN counts by its sequence number.
        if (fires(entry, sequence))
            fired << i;
    }
    return fired;
}

int FaultSchedule::fireStopAfter(std::uint32_t sent)
{
    for (int i : m_stopAfter) {
        Entry& entry = m_entries[std::size_t(i)];
        if (entry.rule.value() == sent) {
            ++entry.matches;
            ++entry.fired;
            return i;
        }
    }
    return -1;
}

QList<int> FaultSchedule::fireOnLine()
{
    QList<int> fired;
    for (int i : m_line) {
        Entry& entry = m_entries[std::size_t(i)];
        if (!entry.rule.isCounted())
            continue;
        if (fires(entry, ++entry.matches))
            fired << i;
    }
    return fired;
}

double FaultSchedule::draw()
{
    // From the raw 32-bit output: the same on every standard library.
    return double(m_generator()) / 4294967296.0;
}

std::uint32_t FaultSchedule::drawBetween(std::uint32_t min, std::uint32_t max)
{
    if (max <= min)
        return min;
    const std::uint64_t span = std::uint64_t(max) - min + 1;
    return min + static_cast<std::uint32_t>(m_generator() % span);
}

QByteArray FaultSchedule::noise(int count)
{
    QByteArray bytes;
    bytes.reserve(count);
    while (bytes.size() < count) {
        const auto byte = static_cast<std::uint8_t>(m_generator() & 0xFF);
        // A header byte in the noise would make it look like the start of a frame.
        if (byte != wire::kHeaderHigh)
            bytes.append(static_cast<char>(byte));
    }
    return bytes;
}

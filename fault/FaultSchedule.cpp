#include "fault/FaultSchedule.h"

#include "protocol/WireFormat.h"

FaultSchedule::FaultSchedule(std::uint32_t seed) : m_seed(seed), m_generator(seed) {}

void FaultSchedule::add(const FaultRule& rule, bool fromScenario)
{
    m_entries.push_back(Entry{rule, 0, 0, fromScenario});
}

std::vector<FaultRule> FaultSchedule::removeScenarioRules()
{
    std::vector<FaultRule> removed;
    std::vector<Entry> kept;
    for (Entry& entry : m_entries) {
        if (entry.fromScenario)
            removed.push_back(entry.rule);
        else
            kept.push_back(std::move(entry));
    }
    m_entries = std::move(kept);
    return removed;
}

void FaultSchedule::clear()
{
    m_entries.clear();
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
    QList<int> fired;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        const FaultRule& rule = entry.rule;
        const bool matches = rule.target() == FaultRule::Target::Any ||
                             (rule.target() == FaultRule::Target::Command && rule.command() == cmd);
        if (matches && fires(entry, ++entry.matches))
            fired << int(i);
    }
    return fired;
}

QList<int> FaultSchedule::fireOnRecord(std::uint32_t sequence)
{
    QList<int> fired;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        if (entry.rule.target() != FaultRule::Target::Record ||
            entry.rule.action() == FaultRule::Action::StopAfter)
            continue;
        ++entry.matches;
        // A record's WHEN counts by its sequence number.
        if (fires(entry, sequence))
            fired << int(i);
    }
    return fired;
}

int FaultSchedule::fireStopAfter(std::uint32_t sent)
{
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        if (entry.rule.action() == FaultRule::Action::StopAfter && entry.rule.value() == sent) {
            ++entry.matches;
            ++entry.fired;
            return int(i);
        }
    }
    return -1;
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

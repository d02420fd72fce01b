#pragma once

#include "fault/FaultRule.h"

#include <QByteArray>
#include <QList>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

// Which rules fire when: the active rules with their match and fire counters, the seeded
// generator behind p=, delay ranges and noise, the request numbers and the stall window.
// Counters start when a rule becomes active (when it is added, or after= later); the same seed
// and traffic give the same faults. A rule with a timeline waits, is active, then has ended:
// only active rules are indexed, so waiting and ended ones cost a frame nothing.
class FaultSchedule
{
public:
    enum class State
    {
        Waiting,
        Active,
        Ended
    };

    struct Entry
    {
        FaultRule rule;
        std::uint64_t matches = 0;
        std::uint64_t fired = 0;
        bool fromScenario = false; // goes when another scenario is loaded
        int id = 0;
        State state = State::Active;
        std::int64_t dueMs = 0; // when the state changes next (kNever: it does not)
    };

    // A change of a rule's state, at the time its timeline says.
    struct Transition
    {
        int id;
        State state;
        std::int64_t atMs;
    };

    static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

    static constexpr std::uint32_t kDefaultSeed = 1;

    explicit FaultSchedule(std::uint32_t seed = kDefaultSeed);

    // Returns the rule's id: from 1, never used again during this schedule's life, clear() or not.
    // nowMs is the clock the timeline runs on (the one advance() is given).
    int add(const FaultRule& rule, bool fromScenario = false, std::int64_t nowMs = 0);
    // The rule with this id gone (the others keep their counters), or nothing if there is none.
    std::optional<Entry> remove(int id);
    // The rules a scenario file brought, the others kept with their counters; returns them.
    std::vector<Entry> removeScenarioRules();
    // Every rule gone; request numbers, stall window and generator start again.
    void clear();
    void setSeed(std::uint32_t seed);
    std::uint32_t seed() const { return m_seed; }

    const std::vector<Entry>& entries() const { return m_entries; }
    bool isEmpty() const { return m_entries.empty(); }
    // Whether any rule can fire now (not waiting, not ended).
    bool hasActive() const { return m_active > 0; }

    // When the next rule starts or ends, or kNever.
    std::int64_t nextDueMs() const { return m_nextDue; }
    // Starts and ends the rules whose time has come by nowMs, in the order of their times.
    std::vector<Transition> advance(std::int64_t nowMs);

    static const char* stateName(State state);

    // Numbers the next request, from 1.
    std::uint64_t nextRequest() { return ++m_requests; }
    // Whether a stall window is open at nowMs; opens one until nowMs + ms.
    bool stalled(std::int64_t nowMs) const { return m_stallUntil > nowMs; }
    void openStall(std::int64_t nowMs, std::uint32_t ms) { m_stallUntil = nowMs + ms; }

    // Indices of the command and * rules that fire for a request of this command, in order.
    QList<int> fireOnRequest(std::uint8_t cmd);
    // Indices of the record rules other than stop-after that fire for this data frame.
    QList<int> fireOnRecord(std::uint32_t sequence);
    // Index of the first stop-after rule that cuts an upload after `sent` data frames, or -1.
    int fireStopAfter(std::uint32_t sent);
    // Indices of the counted line rules that fire for a request (any command), in order.
    QList<int> fireOnLine();
    // Counts a fire of the rule at this index that no match decided (a line rule acting as it starts).
    void countFire(int index)
    {
        ++m_entries[std::size_t(index)].matches;
        ++m_entries[std::size_t(index)].fired;
    }
    // Indices of the active line rules, in rule order.
    const std::vector<int>& activeLineRules() const { return m_line; }

    // Uniform in [0, 1); from min to max; N bytes, none of them the first header byte.
    double draw();
    std::uint32_t drawBetween(std::uint32_t min, std::uint32_t max);
    QByteArray noise(int count);

private:
    bool fires(Entry& entry, std::uint64_t n);
    void index(int i);
    void clearIndex();
    void rebuildIndex();
    void findNextDue();

    std::vector<Entry> m_entries;
    // Indices into m_entries by what a rule matches, in rule order, so a frame costs only
    // the rules that can fire for it, however many others there are.
    std::array<std::vector<int>, 256> m_byCommand;
    std::vector<int> m_anyCommand;
    std::vector<int> m_records;   // record rules other than stop-after
    std::vector<int> m_stopAfter; // stop-after rules
    std::vector<int> m_line;      // line rules
    std::uint32_t m_seed;
    std::mt19937 m_generator;
    std::uint64_t m_requests = 0;
    std::int64_t m_stallUntil = 0;
    int m_lastId = 0;
    int m_active = 0;
    std::int64_t m_nextDue = kNever;
};

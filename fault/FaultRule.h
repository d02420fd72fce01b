#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// One way for the unit to misbehave: TARGET:ACTION[@WHEN], e.g. "get-time:delay=200-500@p=0.3".
// WHEN may also hold a timeline, alone or after the counted form: after=DURATION (the rule starts
// that long after it was added), for=DURATION (it ends that long after it started).
class FaultRule
{
public:
    enum class Target
    {
        Command, // one command's replies
        Any,     // every request's reply
        Record,  // the data frames of an upload
        Line     // the line itself
    };

    enum class Action
    {
        Drop,
        Delay,
        CorruptCrc,
        Truncate,
        Split,
        Noise,
        WrongCommand,
        WrongAddress,
        Duplicate,
        Stall,
        StopAfter,
        Vanish, // line: the line goes away for a while
        Break,  // line: a break condition toward the PC
        Garble, // line: bytes toward the PC replaced at random
        Modem   // line: one of the unit's modem lines off
    };

    enum class When
    {
        Always,
        Nth,   // the N-th match (for record: sequence number N)
        Range, // matches N to M
        Every, // every K-th match
        Chance // with probability P, from the seeded generator
    };

    // The longest delay, stall or split gap a rule accepts, in milliseconds.
    static constexpr std::uint32_t kLongestMs = 3600000;
    // The longest after= or for= a rule accepts: a day, in milliseconds.
    static constexpr std::uint32_t kLongestTimelineMs = 86400000;

    // Nothing and the reason in *error (the rule and what is wrong) for a malformed rule.
    static std::optional<FaultRule> parse(const QString& text, QString* error);

    // The rule as the logs and lists show it: command targets by name, numbers in decimal.
    QString text() const;

    // The action's name as rules spell it ("drop", "delay").
    QString actionName() const;

    Target target() const { return m_target; }
    std::uint8_t command() const { return m_command; }
    Action action() const { return m_action; }
    When when() const { return m_when; }

    // Delay range (equal for a fixed delay), truncate length, noise length, stall and split gap
    // milliseconds, replacement command or address, stop-after count, vanish and break
    // milliseconds, the modem line's bit (LineTransport::kDsr...): the action's first value.
    std::uint32_t value() const { return m_value; }
    // Upper end of a delay range; piece count of a split.
    std::uint32_t value2() const { return m_value2; }

    std::uint64_t whenFirst() const { return m_whenFirst; }
    std::uint64_t whenLast() const { return m_whenLast; }
    double chance() const { return m_chance; }
    // line:garble's probability for each byte.
    double garbleChance() const { return m_garble; }
    // Whether WHEN has a counted form (N, N-M, every=K, p=P); a line rule without one acts as it starts.
    bool isCounted() const { return m_when != When::Always; }

    // The timeline: how long the rule waits after it was added (0: active at once) and how long
    // it stays active (0: for good).
    std::uint32_t afterMs() const { return m_afterMs; }
    std::uint32_t forMs() const { return m_forMs; }
    bool hasTimeline() const { return m_afterMs != 0 || m_forMs != 0; }
    // The same for a rule as text() prints it.
    static bool hasTimeline(const QString& text);

    // Whether the rule fires for the n-th match (from 1), given a draw in [0, 1) for Chance.
    bool firesOn(std::uint64_t n, double draw) const;

    // Actions that shape one reply; Stall and StopAfter act around it.
    bool shapesReply() const
    {
        return m_target != Target::Line && m_action != Action::Stall && m_action != Action::StopAfter;
    }

private:
    Target m_target = Target::Any;
    std::uint8_t m_command = 0;
    Action m_action = Action::Drop;
    std::uint32_t m_value = 0;
    std::uint32_t m_value2 = 0;
    When m_when = When::Always;
    std::uint64_t m_whenFirst = 0;
    std::uint64_t m_whenLast = 0;
    double m_chance = 1.0;
    double m_garble = 0.0;
    std::uint32_t m_afterMs = 0;
    std::uint32_t m_forMs = 0;
};

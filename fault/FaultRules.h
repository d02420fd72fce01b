#pragma once

#include "fault/FaultSchedule.h"
#include "scenario/ReplyTiming.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// The fault rules of one unit as the control API, the console and the window's fault tab see
// and change them: the list with ids and fire counts, the seed, the timeline that starts and
// ends rules, and a scenario's reply timing. The FaultStage acting on them follows each change
// through its hooks. GUI thread only.
class FaultRules : public QObject
{
    Q_OBJECT

public:
    struct RuleStatus
    {
        int id; // from 1, never used again by these rules
        QString text;
        std::uint64_t fired;
        QString state; // "waiting", "active" or "ended"
    };

    // What the stage acting on the rules does as they change.
    struct StageHooks
    {
        // Why the line cannot carry this line rule (empty: it can, or there is no line yet).
        std::function<QString(const FaultRule& rule)> lineRefusal;
        // Every rule went, replaced or cleared: what the stage holds for them goes too.
        std::function<void(const QString& why)> reset;
        // Rules went: the rule at index i before is at newIndex[i] now (-1: removed).
        std::function<void(const std::vector<int>& newIndex)> reindexed;
        // The rules in force changed: the line's state follows them.
        std::function<void()> changed;
        // A new reply timing: what the last one left to wait goes.
        std::function<void()> timingSet;
    };

    explicit FaultRules(QObject* parent = nullptr);

    void setStageHooks(StageHooks hooks);

    // All or nothing: on a malformed rule nothing changes and *error names it. The first
    // `scenarioRules` of them came from a scenario file and go when another one is loaded.
    bool setRules(const QStringList& rules, std::uint32_t seed, QString* error, int scenarioRules = 0);
    // The new rule's id in *id.
    bool addRule(const QString& rule, QString* error, int* id = nullptr);
    // False when no rule has this id; the other rules keep their counters.
    bool removeRule(int id);
    // Removes every rule and starts the counters again; the replies they hold back go too.
    void clear();
    // Also the seed a scenario without one returns to.
    void setSeed(std::uint32_t seed);
    std::uint32_t seed() const { return m_schedule.seed(); }

    // A scenario's rules replace those of the scenario before (none: they just go); rules added
    // one by one stay. Its seed, when given, is used; otherwise the seed set before any scenario.
    bool takeScenarioRules(const QStringList& rules, std::optional<std::uint32_t> seed, QString* error);

    // How fast the unit answers from now on: each reply waits, from its request's arrival, a
    // latency drawn from its command's samples; empty: at once. Fault rules act on top.
    void setTiming(const ReplyTiming& timing);
    const ReplyTiming& timing() const { return m_timing; }

    QList<RuleStatus> rules() const;
    // One line per rule with its fire count (and its state, for a rule with a timeline), as the
    // console's "faults" shows them.
    QStringList listing() const;

    // The stage's side: the counters and draws, and the clock the timeline runs on.
    FaultSchedule& schedule() { return m_schedule; }
    const FaultSchedule& schedule() const { return m_schedule; }
    const QElapsedTimer& clock() const { return m_clock; }
    // A rule's time has come by now: advanceTimeline() starts or ends it.
    bool timelineDue() const { return m_schedule.nextDueMs() <= m_clock.elapsed(); }
    // Starts and ends the timeline rules whose time has come; the timer waits for the next.
    void advanceTimeline();
    // The stall rule at `index` freezes the unit from `now`; the freeze ends with the rule.
    void openStall(int index, qint64 now);
    const QString& stallRule() const { return m_stallRule; }
    // The stage fired rules: their counts changed.
    void firesCounted() { emit rules_changed(); }

signals:
    // A rule was added or removed, or a fire count changed.
    void rules_changed();
    // A rule's for= ran out: it fires no more, and stays listed as ended until removed or cleared.
    void rule_ended(QString rule);

private:
    bool refuseOnLine(const QList<FaultRule>& rules, QString* error) const;
    void armTimeline();
    void tellReset(const QString& why);
    // Tells the stage where the rules it holds by index are after removals.
    void tellReindexed(const std::vector<int>& idsBefore);
    void tellChanged();
    std::vector<int> ids() const;

    StageHooks m_hooks;
    FaultSchedule m_schedule;
    // Armed only for the next start or end of a rule with a timeline: idle without one.
    QTimer m_timelineTimer;
    QElapsedTimer m_clock;
    QString m_stallRule;
    int m_stallId = 0;
    std::uint32_t m_baseSeed = FaultSchedule::kDefaultSeed;
    ReplyTiming m_timing;
};

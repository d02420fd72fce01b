#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

class Scenario;

// Makes a scenario file the emulated unit's: its texts and state, its records and record
// count, its fault rules. A refused file changes nothing.
class ScenarioLoader
{
public:
    // Takes a scenario's fault rules and seed, all or nothing: false with *error set refuses
    // the whole scenario. The fault layer sits above the service, so it is handed in.
    using FaultRulesHook =
        std::function<bool(const QStringList& rules, std::optional<std::uint32_t> seed, QString* error)>;

    // Reads, applies and logs the file; false with `error` set, the active scenario kept.
    // `loaded` receives the scenario when given.
    static bool load(const QString& path, const FaultRulesHook& faults, QString* error,
                     Scenario* loaded = nullptr);
    // The one place a read scenario takes effect, all or nothing. It replaces the scenario before
    // as a whole: what the file leaves out returns to the default (texts, state, records, and the
    // record count set before any scenario); its fault rules replace those of the file before.
    static bool apply(const Scenario& scenario, const FaultRulesHook& faults, QString* error);
    // The log lines of a scenario now in force.
    static void logLoaded(const Scenario& scenario);

private:
    // The record count the scenario in force set, and the one in force before it. GUI thread.
    static std::optional<int> s_scenarioRecordCount;
    static int s_recordCountBefore;
};

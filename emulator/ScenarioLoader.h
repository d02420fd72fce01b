#pragma once

#include <QString>

class EmulatedUnit;
class FaultRules;
class Scenario;

// Makes a scenario file a unit's: its texts and state, its records and record count, its
// fault rules. A refused file changes nothing.
class ScenarioLoader
{
public:
    // Reads, applies and logs the file; false with `error` set, the active scenario kept.
    // `loaded` receives the scenario when given. Without `faults` its rules are not applied.
    static bool load(EmulatedUnit& unit, FaultRules* faults, const QString& path, QString* error,
                     Scenario* loaded = nullptr);
    // Applies and logs a scenario read elsewhere (off the units' thread: a large records.csv
    // takes seconds to read), as load() does.
    static bool take(EmulatedUnit& unit, FaultRules* faults, const Scenario& scenario, QString* error,
                     Scenario* loaded = nullptr);
    // The one place a read scenario takes effect, all or nothing. It replaces the scenario before
    // as a whole: what the file leaves out returns to the default (texts, state, records, and the
    // record count set before any scenario); its fault rules replace those of the file before.
    static bool apply(EmulatedUnit& unit, FaultRules* faults, const Scenario& scenario, QString* error);
    // Whether apply would take it, for a start-up that applies it once the unit exists.
    static bool check(const Scenario& scenario, QString* error);
    // The log lines of a scenario now in force.
    static void logLoaded(const Scenario& scenario);
};

#pragma once

#include <QString>

class Scenario;

// Makes a scenario file the emulated unit's: its texts and state, its records and record
// count, its fault rules. A refused file changes nothing.
class ScenarioLoader
{
public:
    // Reads, applies and logs the file; false with `error` set, the active scenario kept.
    // `loaded` receives the scenario when given.
    static bool load(const QString& path, QString* error, Scenario* loaded = nullptr);
    // The one place a read scenario takes effect, all or nothing.
    static bool apply(const Scenario& scenario, QString* error);
    // The log lines of a scenario now in force.
    static void logLoaded(const Scenario& scenario);
};

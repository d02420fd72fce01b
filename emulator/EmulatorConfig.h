#pragma once

#include "emulator/ControlEndpoint.h"
#include "emulator/UnitsFile.h"
#include "fault/FaultSchedule.h"
#include "journal/Journal.h"
#include "scenario/Scenario.h"
#include "transport/LineTiming.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

// What varnel-emu serves, as its options (or their variables) and the units file have it,
// checked whole before anything starts. A unit's own keys win over the defaults below.
struct EmulatorConfig
{
    // The command line's ENDPOINTs, then the units file's units.
    std::vector<UnitsFile::Unit> units;
    int firstUnit = 1;

    QString baud = QStringLiteral("115200");
    QString dataBits = QStringLiteral("8");
    QString stopBits = QStringLiteral("1");
    QString parity = QStringLiteral("None");
    int records = 10000;
    int reopenMs = 500;
    LineTiming lineTiming; // a unit's line_timing and adapter keys over it
    std::size_t journalCapacity = Journal::kDefaultCapacity;

    // The scenario of every unit without one of its own; its rules come before `faults`.
    std::optional<Scenario> scenario;
    QStringList faults;
    std::uint32_t seed = FaultSchedule::kDefaultSeed;
    bool seedGiven = false; // an explicit seed wins over a scenario's

    QString capture;  // empty: none; with several units a folder
    QString events;   // empty: none
    QString stateOut; // empty: none, else checked to take a replaced file

    ControlEndpoint::Settings control;

    bool logFile = true;               // false: standard output only, no daily log file
    std::optional<long long> logLimit; // the day's log file's largest size; 0: none
};

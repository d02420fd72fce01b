#pragma once

#include "scenario/Scenario.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// A units file: {"units": [{"endpoint": ..., "scenario": ..., "records": ..., "faults": [...],
// "capture": ..., "baud": ..., "line_timing": ..., "adapter": ...}, ...]} for the units of one process that
// differ. Read whole and checked whole (scenarios included) before anything starts; the first problem refuses
// it, named by its unit and key. Paths in it are taken from the file's folder.
class UnitsFile
{
public:
    struct Unit
    {
        QString endpoint;
        std::optional<QString> scenarioPath;
        Scenario scenario; // read and checked when scenarioPath is set
        std::optional<int> records;
        std::optional<QStringList> faults;
        std::optional<QString> capture;
        std::optional<QString> baud;
        // Over the command line's: "line_timing" true (""), false ("off") or "both", as
        // --line-timing takes it; "adapter" as --adapter takes it. Both checked.
        std::optional<QString> lineTiming;
        std::optional<QString> adapter;
        // "on_dtr_drop": "stop-upload" true, "ignore" false; a scenario's own choice wins.
        std::optional<bool> stopUploadOnDtrDrop;
    };

    static constexpr int kMaxUnits = 10000;

    // False with `error` ("FILE: unit N: KEY: what") and `units` untouched.
    static bool read(const QString& path, std::vector<Unit>* units, QString* error);
    // `json` as if read from `path`.
    static bool parse(const QByteArray& json, const QString& path, std::vector<Unit>* units, QString* error);
};

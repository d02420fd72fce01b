#pragma once

#include "scenario/UnitState.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <atomic>

class Scenario;

// Reads a scenario file (JSON): the unit's texts, whether it is stateful, its records,
// the fault rules and their seed, fixed replies, reply timing and a clock offset. A file is taken whole or refused with one message that
// names the file, the key or CSV row, and what is wrong.
class ScenarioFile
{
public:
    // Largest records.count, as for the record-count field.
    static constexpr int kMaxRecordCount = 99999999;

    // Any thread; a large records.csv takes seconds, so not the units' thread. `cancel` set
    // meanwhile (the process ends) stops the reading with an error.
    static bool read(const QString& path, Scenario* scenario, QString* error,
                     const std::atomic<bool>* cancel = nullptr);
    // `json` as if read from `path`, which names it in messages and anchors records.csv.
    static bool parse(const QByteArray& json, const QString& path, Scenario* scenario, QString* error,
                      const std::atomic<bool>* cancel = nullptr);

    // For refusal messages of this and the other JSON files: what a value is ("a text",
    // "a list"), and a number as the file most likely wrote it.
    static QString typeName(const QJsonValue& value);
    // The key of one of the unit's texts under "texts".
    static QString textKey(UnitState::Text text);
    static QString numberText(double value);
    // on_dtr_drop (a scenario's and a units file's): true for "stop-upload", false for
    // "ignore"; none with `error` saying what the value is instead.
    static std::optional<bool> onDtrDrop(const QJsonValue& value, QString* error);
};

#pragma once

#include "scenario/RecordSource.h"
#include "scenario/ReplyTiming.h"
#include "scenario/UnitState.h"

#include <QString>
#include <QStringList>

#include <optional>

// The validated content of a scenario file.
class Scenario
{
public:
    // The file it came from, as it was named.
    QString path;
    UnitState unit;
    // Records per upload; none keeps the configured count. Not used while records come from a CSV.
    std::optional<int> recordCount;
    RecordSource records;
    // How fast the unit answers; empty: at once, and the upload's 10 ms pauses.
    ReplyTiming timing;
    // The fault-injection rules, and the seed of their draws and of the record ranges
    // (none given: the record ranges start from 0, the faults from their own default).
    QStringList faults;
    std::optional<quint32> seed;
    // on_dtr_drop: "stop-upload" (true) or "ignore" (false); none leaves the unit's own choice.
    std::optional<bool> stopUploadOnDtrDrop;

    // The file's name without its folder, for a label.
    QString fileName() const;
};

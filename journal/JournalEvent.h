#pragma once

#include "protocol/ContentCodec.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMetaType>

#include <cstdint>

// One numbered thing that happened on a unit's line. Frames are kept as bytes and turned
// into hex and decoded fields only when the event is shown, so noting one costs little.
struct JournalEvent
{
    enum class Type
    {
        Request,     // a frame cut from the line
        Reply,       // a frame written to the unit's line (an upload's start and end frames too)
        Record,      // an upload's data frame written to the line
        Discard,     // bytes that were no frame
        Fault,       // a fault rule fired
        UploadStart, // an upload began
        UploadEnd,   // an upload ended
        Line,        // the line opened, was lost, reopened or closed
        Scenario,    // a scenario was loaded
        StateReset,  // the recorded state was cleared
    };
    // Every type, in the order above; a type added to the enum is added here too.
    static constexpr Type kTypes[] = {Type::Request,  Type::Reply,       Type::Record,    Type::Discard,
                                      Type::Fault,    Type::UploadStart, Type::UploadEnd, Type::Line,
                                      Type::Scenario, Type::StateReset};

    std::uint64_t seq = 0; // from 1 per unit, no gaps
    qint64 timeUs = 0;     // since the epoch
    int unit = 0;
    Type type = Type::Line;
    QByteArray bytes;             // Request, Reply, Record: the whole frame; Discard: the bytes
    std::uint64_t requestSeq = 0; // Reply, Record: the request it answers (0: none known)
    qint64 latencyUs = -1;        // Reply: from the request's last byte to the write
    std::uint32_t sequence = 0;   // Record: the record's number
    QJsonObject keys;             // the type's other keys ("faults": the rules that shaped a frame)

    // "request", "reply", "record", "discard", "fault", "upload-start", "upload-end", "line",
    // "scenario", "state-reset".
    static const char* typeName(Type type);
    // Local time with microseconds and the UTC offset: 2026-12-08T18:03:11.123456+00:00.
    static QString timestamp(qint64 timeUs);
    // A content's fields as [label, value] pairs, with the group as a third element for the
    // fields of one list entry ("第0个扳手"); a layout that does not fit gives the fields read.
    static QJsonArray fieldsJson(std::uint8_t command, FrameDirection direction, const QByteArray& content);

    // {"seq", "t", "unit", "type", then the type's keys}.
    QJsonObject toJson() const;
    // toJson() compact, with a newline.
    QByteArray toJsonLine() const;
};

Q_DECLARE_METATYPE(JournalEvent)

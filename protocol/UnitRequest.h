#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstdint>

// One request as it was cut from the line, made once: what the PC program asked, the frame
// it came in, and where it stands in the session (its journal event, the gate's number), so
// no stage after the cut takes the bytes apart again.
struct UnitRequest
{
    std::uint8_t command = 0;
    QByteArray content;
    QByteArray frame;         // the whole frame as it came
    qint64 arrivedUs = 0;     // when it was cut (steady clock)
    std::uint64_t seq = 0;    // its journal event's number; 0: none
    std::uint64_t number = 0; // the session's number of it, from 1 (set by the fault gate)
};

#pragma once

#include <QByteArray>

#include <cstdint>

// One frame the unit answers with, as the unit meant it: what kind of answer, to which
// command, with which content, and for which request. Everything downstream (faults, the
// writer, a journal) reads these fields instead of taking packed bytes apart again.
struct UnitReply
{
    enum class Kind
    {
        Acknowledge, // an empty reply
        Text,        // a fixed or remembered text
        Clock,       // the seven date-time bytes
        RecordStart,
        RecordData,
        RecordEnd
    };

    Kind kind = Kind::Acknowledge;
    std::uint8_t command = 0;
    QByteArray content;
    std::uint32_t sequence = 0; // RecordData: the record's number from 1
    std::uint64_t request = 0;  // the session's number of the request it answers, from 1

    bool isRecordFrame() const
    {
        return kind == Kind::RecordStart || kind == Kind::RecordData || kind == Kind::RecordEnd;
    }
    // A text or record reply also drops request bytes not yet read from the line: the
    // unit is half-duplex while it talks at length.
    bool discardsUnread() const { return kind != Kind::Acknowledge && kind != Kind::Clock; }
};

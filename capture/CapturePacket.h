#pragma once

#include <QByteArray>

#include <cstdint>

// One packet of a capture file: a direction byte, then the bytes. The file's link type
// is USER0, so the dissector, not Wireshark, decides what the bytes mean.
struct CapturePacket
{
    enum class Direction : std::uint8_t
    {
        PcToUnit = 0,  // a request as extraction cut it out
        UnitToPc = 1,  // one write of the unit's bytes, as written
        Discarded = 2, // bytes that no frame took
    };

    static constexpr int kLinkType = 147; // DLT_USER0
    static constexpr int kDirectionSize = 1;

    Direction direction = Direction::PcToUnit;
    std::int64_t microseconds = 0; // since the epoch
    QByteArray bytes;              // without the direction byte

    static bool isDirection(std::uint8_t value) { return value <= std::uint8_t(Direction::Discarded); }
};

#pragma once

#include "protocol/WireFormat.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <optional>

// A read-only view of one complete frame, header to checksum. It does not copy: the bytes
// it was made from must outlive it. The checksum is read and computed, never trusted.
class FrameView
{
public:
    // Why bytes are not one frame.
    enum class Fault
    {
        None,
        TooShort,    // fewer bytes than header, address, command, length and checksum
        WrongHeader, // the first two bytes are not 5A A5
        WrongLength, // the length field does not count the bytes between it and the checksum
    };

    static Fault check(const std::uint8_t* bytes, std::size_t size);
    static Fault check(const QByteArray& frame);
    // A view when check() finds nothing wrong; the address and command are not judged.
    static std::optional<FrameView> of(const std::uint8_t* bytes, std::size_t size);
    static std::optional<FrameView> of(const QByteArray& frame);

    std::uint16_t header() const { return u16At(0); }
    std::uint16_t address() const { return u16At(2); }
    std::uint8_t command() const { return m_bytes[wire::kCommandOffset]; }
    std::uint16_t length() const { return u16At(wire::kLengthOffset); }
    const std::uint8_t* contentData() const { return m_bytes + wire::kPrefixSize; }
    QByteArray content() const;
    std::uint16_t receivedChecksum() const { return u16At(m_size - wire::kChecksumSize); }
    std::uint16_t computedChecksum() const;
    bool checksumOk() const { return receivedChecksum() == computedChecksum(); }
    std::size_t size() const { return m_size; }
    QByteArray bytes() const;

    // The first content byte of a file-record reply; nothing for another command, an empty
    // content or a byte that is no mark.
    std::optional<wire::RecordMark> recordMark() const;
    // The sequence number of a record data frame of the record's size; nothing otherwise.
    std::optional<std::uint32_t> recordSequence() const;

    // A whole frame with its checksum; empty when the content does not fit the length field.
    static QByteArray build(std::uint16_t address, std::uint8_t command, const char* content,
                            std::size_t size);
    static QByteArray build(std::uint16_t address, std::uint8_t command, const QByteArray& content);
    // Writes the checksum of everything before it into a frame's last two bytes; false, and
    // the bytes untouched, for fewer bytes than a frame has.
    static bool patchChecksum(QByteArray& frame);
    // Put another command or address into a frame (a unit misbehaving on purpose); false, and
    // the bytes untouched, when the frame is too short to hold the field. The checksum stays.
    static bool patchCommand(QByteArray& frame, std::uint8_t command);
    static bool patchAddress(QByteArray& frame, std::uint16_t address);
    // The checksum of a frame's bytes without their last two, in wire order.
    static std::uint16_t checksumOf(const std::uint8_t* frame, std::size_t size);

private:
    FrameView(const std::uint8_t* bytes, std::size_t size) : m_bytes(bytes), m_size(size) {}
    std::uint16_t u16At(std::size_t offset) const;

    const std::uint8_t* m_bytes;
    std::size_t m_size;
};

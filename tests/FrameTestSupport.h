#pragma once

#include <QByteArray>

#include <cstdint>

// Independent of the table-driven checksum under test: plain bitwise CRC-16/MODBUS.
namespace frametest {

inline std::uint16_t modbusCrc(const QByteArray& bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

// The value the table form returns: the standard CRC with its bytes exchanged.
inline std::uint16_t swappedCrc(const QByteArray& bytes)
{
    const std::uint16_t crc = modbusCrc(bytes);
    return static_cast<std::uint16_t>((crc << 8) | (crc >> 8));
}

// Header through content, without checksum.
inline QByteArray frameBody(std::uint8_t command, const QByteArray& content, std::uint16_t address = 0x1234)
{
    QByteArray body;
    body.append('\x5A').append('\xA5');
    body.append(static_cast<char>(address >> 8)).append(static_cast<char>(address & 0xFF));
    body.append(static_cast<char>(command));
    body.append(static_cast<char>(content.size() >> 8)).append(static_cast<char>(content.size() & 0xFF));
    return body + content;
}

// A complete frame; the checksum goes low byte of the standard CRC first.
inline QByteArray frameBytes(std::uint8_t command, const QByteArray& content = {},
                             std::uint16_t address = 0x1234)
{
    QByteArray bytes = frameBody(command, content, address);
    const std::uint16_t crc = modbusCrc(bytes);
    bytes.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
    return bytes;
}

// The same frame with a checksum that is certainly wrong.
inline QByteArray badCrcFrameBytes(std::uint8_t command, const QByteArray& content = {})
{
    QByteArray bytes = frameBytes(command, content);
    bytes[bytes.size() - 1] = static_cast<char>(bytes.at(bytes.size() - 1) ^ 0x01);
    return bytes;
}

} // namespace frametest

#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <string>

// CRC-16/MODBUS in the two-table form. The result is the standard CRC with its two
// bytes exchanged, so writing it high byte first gives the wire order.
std::uint16_t crc16(const std::uint8_t* data, std::size_t length);
std::uint16_t crc16(const QByteArray& bytes);
std::uint16_t crc16(const std::string& bytes);

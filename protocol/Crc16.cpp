#include "protocol/Crc16.h"

#include <array>

namespace {

using ByteTable = std::array<std::uint8_t, 256>;

// Reflected CRC-16 of one byte with polynomial 0xA001: the classic 16-bit table entry.
constexpr std::uint16_t reflectedEntry(unsigned index)
{
    std::uint16_t crc = static_cast<std::uint16_t>(index);
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                         : static_cast<std::uint16_t>(crc >> 1);
    return crc;
}

// The Modbus "high" table holds the low byte of each entry, the "low" table the high byte.
constexpr ByteTable makeHighTable()
{
    ByteTable table{};
    for (unsigned i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(reflectedEntry(i) & 0xFFu);
    return table;
}

constexpr ByteTable makeLowTable()
{
    ByteTable table{};
    for (unsigned i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(reflectedEntry(i) >> 8);
    return table;
}

constexpr ByteTable kHighTable = makeHighTable();
constexpr ByteTable kLowTable = makeLowTable();

// Spot checks against the published tables.
static_assert(kHighTable[1] == 0xC1 && kHighTable[2] == 0x81 && kHighTable[255] == 0x40, "high table");
static_assert(kLowTable[1] == 0xC0 && kLowTable[2] == 0xC1 && kLowTable[254] == 0x80, "low table");

} // namespace

std::uint16_t crc16(const std::uint8_t* data, std::size_t length)
{
    std::uint8_t first = 0xFF;
    std::uint8_t second = 0xFF;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t index = first ^ data[i];
        first = second ^ kHighTable[index];
        second = kLowTable[index];
    }
    return static_cast<std::uint16_t>((first << 8) | second);
}

std::uint16_t crc16(const QByteArray& bytes)
{
    return crc16(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                 static_cast<std::size_t>(bytes.size()));
}

std::uint16_t crc16(const std::string& bytes)
{
    return crc16(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

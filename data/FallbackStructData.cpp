#include "data/FallbackStructData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

FallbackStructData::FallbackStructData(std::uint16_t angle, std::uint8_t current)
    : m_angle(angle), m_current(current)
{
}

std::int32_t FallbackStructData::length() const
{
    return 3;
}

std::string FallbackStructData::toString() const
{
    return "angle: " + std::to_string(m_angle) + ", ampere: " + std::to_string(m_current / 10) + "\n";
}

std::string FallbackStructData::toBytes() const
{
    return util::toBytesU16(m_angle) + util::toBytesU8(m_current);
}

bool FallbackStructData::fromBytes(std::string bytes)
{
    if (bytes.size() < 3)
        return false;
    m_angle = wire::u16At(bytes, 0);
    m_current = wire::u8At(bytes, 2);
    return true;
}

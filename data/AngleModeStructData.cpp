#include "data/AngleModeStructData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

AngleModeStructData::AngleModeStructData(std::int16_t angle) : m_angle(angle) {}

std::int32_t AngleModeStructData::length() const
{
    return 2;
}

std::string AngleModeStructData::toString() const
{
    return "max angle : " + std::to_string(m_angle) + "\n";
}

std::string AngleModeStructData::toBytes() const
{
    return util::toBytesU16(static_cast<std::uint16_t>(m_angle));
}

bool AngleModeStructData::fromBytes(std::string bytes)
{
    if (bytes.size() < 2)
        return false;
    m_angle = static_cast<std::int16_t>(wire::u16At(bytes, 0));
    return true;
}

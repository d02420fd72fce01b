#include "data/GearModeParam.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

GearModeParam::GearModeParam(std::uint8_t level, std::uint32_t pressure)
    : m_level(level), m_pressure(pressure)
{
}

void GearModeParam::appendTo(std::string& out) const
{
    out += util::toBytesU8(m_level);
    out += util::toBytesU32(m_pressure);
}

GearModeParam GearModeParam::readAt(const std::string& bytes, std::size_t pos)
{
    return GearModeParam(wire::u8At(bytes, pos), wire::u32At(bytes, pos + 1));
}

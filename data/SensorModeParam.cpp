#include "data/SensorModeParam.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

#include <utility>

SensorModeParam::SensorModeParam(std::string name, std::int32_t value)
    : m_name(std::move(name)), m_value(value)
{
}

void SensorModeParam::setName(std::string name)
{
    m_name = std::move(name);
}

void SensorModeParam::appendTo(std::string& out) const
{
    wire::appendName(out, m_name);
    out += util::toBytesU32(static_cast<std::uint32_t>(m_value));
}

SensorModeParam SensorModeParam::readAt(const std::string& bytes, std::size_t pos)
{
    return SensorModeParam(wire::nameAt(bytes, pos), wire::s32At(bytes, pos + wire::kNameWidth));
}

#include "data/TorqueModeParam.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

#include <utility>

TorqueModeParam::TorqueModeParam(std::string name, std::int32_t coefficient, std::uint8_t delayTime)
    : m_name(std::move(name)), m_coefficient(coefficient), m_delayTime(delayTime)
{
}

void TorqueModeParam::setName(std::string name)
{
    m_name = std::move(name);
}

void TorqueModeParam::appendTo(std::string& out) const
{
    wire::appendName(out, m_name);
    out += util::toBytesU32(static_cast<std::uint32_t>(m_coefficient));
    out += util::toBytesU8(m_delayTime);
}

TorqueModeParam TorqueModeParam::readAt(const std::string& bytes, std::size_t pos)
{
    return TorqueModeParam(wire::nameAt(bytes, pos), wire::s32At(bytes, pos + wire::kNameWidth),
                           wire::u8At(bytes, pos + wire::kNameWidth + 4));
}

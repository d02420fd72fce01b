#include "data/IntegerData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

IntegerData::IntegerData(std::int32_t value) : m_value(value) {}

std::int32_t IntegerData::length() const
{
    return 4;
}

std::string IntegerData::toString() const
{
    return std::to_string(m_value);
}

std::string IntegerData::toBytes() const
{
    return util::toBytesU32(static_cast<std::uint32_t>(m_value));
}

bool IntegerData::fromBytes(std::string bytes)
{
    if (bytes.size() < 4)
        return false;
    m_value = wire::s32At(bytes, 0);
    return true;
}

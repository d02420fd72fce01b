#include "data/StringData.h"

StringData::StringData(std::string value) : m_value(std::move(value)) {}

std::int32_t StringData::length() const
{
    return static_cast<std::int32_t>(m_value.size());
}

std::string StringData::toString() const
{
    return m_value;
}

std::string StringData::toBytes() const
{
    return m_value;
}

bool StringData::fromBytes(std::string bytes)
{
    m_value = std::move(bytes);
    return true;
}

#include "data/StringData.h"

#include "util/Conversions.h"

StringData::StringData(std::string value) : m_value(std::move(value)) {}

std::unique_ptr<Data> StringData::clone() const
{
    return std::make_unique<StringData>(*this);
}

void StringData::assign(const Data& other)
{
    copyFrom(other);
}

void StringData::copyFrom(const Data& other)
{
    if (const auto* source = dynamic_cast<const StringData*>(&other))
        m_value = source->m_value;
}

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

std::string StringData::toHex() const
{
    return util::bytesToHex(m_value);
}

bool StringData::fromBytes(std::string bytes)
{
    m_value = std::move(bytes);
    return true;
}

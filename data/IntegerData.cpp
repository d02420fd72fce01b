#include "data/IntegerData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

IntegerData::IntegerData(std::int32_t value) : m_value(value) {}

std::unique_ptr<Data> IntegerData::clone() const
{
    return std::make_unique<IntegerData>(*this);
}

void IntegerData::assign(const Data& other)
{
    copyFrom(other);
}

void IntegerData::copyFrom(const Data& other)
{
    if (const auto* source = dynamic_cast<const IntegerData*>(&other))
        m_value = source->m_value;
}

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

std::string IntegerData::toHex() const
{
    return util::bytesToHex(toBytes());
}

bool IntegerData::fromBytes(std::string bytes)
{
    if (bytes.size() < 4)
        return false;
    m_value = wire::s32At(bytes, 0);
    return true;
}

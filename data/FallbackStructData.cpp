#include "data/FallbackStructData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

FallbackStructData::FallbackStructData(std::uint16_t angle, std::uint8_t current)
    : m_angle(angle), m_current(current)
{
}

std::unique_ptr<Data> FallbackStructData::clone() const
{
    return std::make_unique<FallbackStructData>(*this);
}

void FallbackStructData::assign(const Data& other)
{
    copyFrom(other);
}

void FallbackStructData::copyFrom(const Data& other)
{
    if (const auto* source = dynamic_cast<const FallbackStructData*>(&other)) {
        m_angle = source->m_angle;
        m_current = source->m_current;
    }
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

std::string FallbackStructData::toHex() const
{
    return util::bytesToHex(toBytes());
}

bool FallbackStructData::fromBytes(std::string bytes)
{
    if (bytes.size() < 3)
        return false;
    m_angle = wire::u16At(bytes, 0);
    m_current = wire::u8At(bytes, 2);
    return true;
}

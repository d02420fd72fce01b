#include "data/StructData.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

#include <utility>

void StructData::addField(Param field)
{
    m_fields.push_back(std::move(field));
}

std::int32_t StructData::length() const
{
    return static_cast<std::int32_t>(1 + kCountWidth + Param::kWireSize * m_fields.size());
}

std::string StructData::toString() const
{
    std::string text = "type:" + std::string(1, static_cast<char>(m_type)) + "\n";
    for (const Param& field : m_fields)
        text += "name:" + field.name() + ", value:" + std::to_string(field.value()) + "\n";
    return text;
}

std::string StructData::toBytes() const
{
    std::string bytes = util::toBytesU8(m_type);
    bytes.reserve(static_cast<std::size_t>(length()));
    bytes += util::toBytesU16(static_cast<std::uint16_t>(m_fields.size()));
    for (const Param& field : m_fields)
        field.appendTo(bytes);
    return bytes;
}

bool StructData::fromBytes(std::string bytes)
{
    const std::size_t header = 1 + kCountWidth;
    if (bytes.size() < header)
        return false;
    m_type = wire::u8At(bytes, 0);
    const std::size_t count = wire::u16At(bytes, 1);
    if (bytes.size() < header + Param::kWireSize * count)
        return false;
    m_fields.reserve(m_fields.size() + count);
    for (std::size_t i = 0; i < count; ++i)
        m_fields.push_back(Param::readAt(bytes, header + Param::kWireSize * i));
    return true;
}

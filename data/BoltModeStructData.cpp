#include "data/BoltModeStructData.h"

#include "data/WireFields.h"

namespace {

// "公制" (metric) and "英制" (imperial) in UTF-8.
const char* const kStandardNames[BoltTableRecord::kBlockCount] = {"\xE5\x85\xAC\xE5\x88\xB6",
                                                                  "\xE8\x8B\xB1\xE5\x88\xB6"};

} // namespace

std::int32_t BoltModeStructData::length() const
{
    std::size_t size = wire::kNameWidth;
    for (std::size_t k = 0; k < BoltTableRecord::kBlockCount; ++k)
        size += m_record.block(k).wireSize();
    return static_cast<std::int32_t>(size);
}

std::string BoltModeStructData::toString() const
{
    std::string text = "name : " + m_record.name() + "\n";
    for (std::size_t k = 0; k < BoltTableRecord::kBlockCount; ++k) {
        const BoltStandardBlock& block = m_record.block(k);
        text += std::string("format : ") + kStandardNames[k] + "\n";
        text += "diameter : ";
        for (const std::string& name : block.diameterNames())
            text += name + ", ";
        text += "\n";
        for (const std::string& name : block.gradeNames())
            text += name + ", ";
        text += "\n";
        for (std::int32_t torque : block.torques())
            text += std::to_string(torque) + ", ";
        text += "\n";
    }
    return text;
}

std::string BoltModeStructData::toBytes() const
{
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(length()));
    wire::appendName(bytes, m_record.name());
    for (std::size_t k = 0; k < BoltTableRecord::kBlockCount; ++k)
        m_record.block(k).writeTo(bytes, static_cast<std::uint8_t>(k));
    return bytes;
}

bool BoltModeStructData::fromBytes(std::string bytes)
{
    if (bytes.size() < 13)
        return false;
    m_record.setName(wire::nameAt(bytes, 0));
    std::size_t pos = wire::kNameWidth;
    for (std::size_t k = 0; k < BoltTableRecord::kBlockCount; ++k) {
        if (!m_record.block(k).readFrom(bytes, pos))
            return false;
    }
    return true;
}

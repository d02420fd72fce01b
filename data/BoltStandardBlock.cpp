#include "data/BoltStandardBlock.h"

#include "data/WireFields.h"
#include "util/Conversions.h"

#include <utility>

namespace {

bool readNames(const std::string& bytes, std::size_t& pos, std::size_t count, std::vector<std::string>& names)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (pos > bytes.size())
            return false;
        names.push_back(wire::nameAt(bytes, pos));
        pos += wire::kNameWidth;
    }
    return true;
}

} // namespace

void BoltStandardBlock::addDiameterName(std::string name)
{
    m_diameterNames.push_back(std::move(name));
}

void BoltStandardBlock::addGradeName(std::string name)
{
    m_gradeNames.push_back(std::move(name));
}

std::size_t BoltStandardBlock::wireSize() const
{
    return 3 + wire::kNameWidth * (m_diameterNames.size() + m_gradeNames.size()) + 4 * tableSize();
}

void BoltStandardBlock::writeTo(std::string& out, std::uint8_t standard)
{
    const std::size_t table = tableSize();
    if (m_torques.size() < table)
        m_torques.resize(table, 0);

    out += util::toBytesU8(standard);
    out += util::toBytesU8(static_cast<std::uint8_t>(m_diameterNames.size()));
    for (const std::string& name : m_diameterNames)
        wire::appendName(out, name);
    out += util::toBytesU8(static_cast<std::uint8_t>(m_gradeNames.size()));
    for (const std::string& name : m_gradeNames)
        wire::appendName(out, name);
    for (std::size_t i = 0; i < table; ++i)
        out += util::toBytesU32(static_cast<std::uint32_t>(m_torques[i]));
}

bool BoltStandardBlock::readFrom(const std::string& bytes, std::size_t& pos)
{
    // The standard byte is not used: the block's index is given by its position.
    if (pos + 1 >= bytes.size())
        return false;
    const std::size_t diameters = wire::u8At(bytes, pos + 1);
    pos += 2;
    if (!readNames(bytes, pos, diameters, m_diameterNames))
        return false;

    if (pos >= bytes.size())
        return false;
    const std::size_t grades = wire::u8At(bytes, pos);
    pos += 1;
    if (!readNames(bytes, pos, grades, m_gradeNames))
        return false;

    for (std::size_t i = 0; i < diameters * grades; ++i) {
        if (pos > bytes.size() || bytes.size() - pos < 4)
            return false;
        m_torques.push_back(wire::s32At(bytes, pos));
        pos += 4;
    }
    return true;
}

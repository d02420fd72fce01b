#include "data/WireFields.h"

#include "util/Conversions.h"

namespace wire {

void appendName(std::string& out, const std::string& name)
{
    const std::string head = name.substr(0, kNameWidth);
    out += head;
    out.append(kNameWidth - head.size(), '\0');
}

std::string nameAt(const std::string& bytes, std::size_t pos)
{
    return bytes.substr(pos, kNameWidth);
}

std::uint8_t u8At(const std::string& bytes, std::size_t pos)
{
    return util::peekU8(bytes.substr(pos, 1));
}

std::uint16_t u16At(const std::string& bytes, std::size_t pos)
{
    return util::peekU16(bytes.substr(pos, 2));
}

std::uint32_t u32At(const std::string& bytes, std::size_t pos)
{
    return util::peekU32(bytes.substr(pos, 4));
}

std::int32_t s32At(const std::string& bytes, std::size_t pos)
{
    return static_cast<std::int32_t>(u32At(bytes, pos));
}

} // namespace wire

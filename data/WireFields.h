#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Field writers and readers shared by the content classes: 10-byte name fields and
// big-endian integers at a position of the input. A reader never looks past the end
// of its input; the decoders check the input's size before they call one.
namespace wire {

constexpr std::size_t kNameWidth = 10;

// Appends the name's first 10 bytes, then zero bytes up to 10.
void appendName(std::string& out, const std::string& name);

// The 10 bytes at pos as they stand, or the bytes up to the end of the input when it
// ends earlier (none when pos is the input's size). pos must not exceed the size.
std::string nameAt(const std::string& bytes, std::size_t pos);

// The integers at pos; the input must hold all their bytes.
std::uint8_t u8At(const std::string& bytes, std::size_t pos);
std::uint16_t u16At(const std::string& bytes, std::size_t pos);
std::uint32_t u32At(const std::string& bytes, std::size_t pos);
std::int32_t s32At(const std::string& bytes, std::size_t pos);

} // namespace wire

#pragma once

#include <cstdint>
#include <string>

// Byte strings are std::string used as raw bytes (embedded zeros allowed).
// Multi-byte integers are big-endian. Bad input throws std::invalid_argument with
// the fixed messages "odd length", "not a hex digit" and "length not enough".
namespace util {

extern const char* const kHexDigits; // "0123456789ABCDEF"

std::string hexToBytes(const std::string& hex);
std::string bytesToHex(const std::string& bytes);

std::string toBytesU8(std::uint8_t value);
std::string toBytesU16(std::uint16_t value);
std::string toBytesU32(std::uint32_t value);

// Length-checked readers for operator text and the checksum comparison.
std::uint8_t readU8(const std::string& bytes); // empty input: std::out_of_range
std::uint16_t readU16(const std::string& bytes);
std::uint32_t readU32(const std::string& bytes);

// Lenient readers for content decoders: missing bytes read as 0.
std::uint8_t peekU8(std::string bytes);
std::uint16_t peekU16(std::string bytes);
std::uint32_t peekU32(std::string bytes);

constexpr std::uint16_t makeU16(std::uint8_t high, std::uint8_t low)
{
    return static_cast<std::uint16_t>((high << 8) | low);
}

// Up to and including the last non-zero byte.
std::string trimTrailingZeros(std::string bytes);

// GB2312 bytes to UTF-8, ending before the first zero character.
std::string gb2312ToUtf8(const std::string& gb2312);

} // namespace util

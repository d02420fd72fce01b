#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A broken invariant stops the run with a message; libFuzzer then keeps the input.
#define FUZZ_CHECK(cond, what)                                                                               \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, (what));             \
            std::fflush(stderr);                                                                             \
            __builtin_trap();                                                                                \
        }                                                                                                    \
    } while (0)

namespace fuzz {

// Bitwise CRC-16/MODBUS, independent of the table form under test.
inline std::uint16_t modbusCrc(const std::uint8_t* data, std::size_t size)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

// Upper-case hex, written out by hand so it does not share code with the functions under test.
inline std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

} // namespace fuzz

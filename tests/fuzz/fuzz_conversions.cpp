// Hex text, integer and code-page conversions on arbitrary bytes: only the documented
// exceptions may leave them, and only for the inputs they are documented for.
#include "FuzzCheck.h"

#include "util/Conversions.h"

#include <QString>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Runs f; an escaping exception must be std::invalid_argument with the given message.
template <typename F> bool throwsInvalid(F f, const char* message)
{
    try {
        f();
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(std::strcmp(e.what(), message) == 0, "std::invalid_argument with another message");
        return true;
    } catch (...) {
        FUZZ_CHECK(false, "an undocumented exception escaped");
    }
    return false;
}

std::uint32_t bigEndian(const std::string& b, std::size_t count)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < count; ++i)
        v = (v << 8) | (i < b.size() ? static_cast<std::uint8_t>(b[i]) : 0u);
    return v;
}

void checkHex(const std::string& s)
{
    const std::string text = util::bytesToHex(s);
    FUZZ_CHECK(text == fuzz::hex(s), "bytesToHex differs from the plain hex");
    std::string back;
    FUZZ_CHECK(!throwsInvalid([&] { back = util::hexToBytes(text); }, ""), "hexToBytes refused bytesToHex");
    FUZZ_CHECK(back == s, "hexToBytes(bytesToHex(x)) != x");

    // The input itself as hex text: odd length first, then any foreign character.
    bool allDigits = true;
    for (char c : s)
        allDigits = allDigits && isHexDigit(c);
    std::string bytes;
    const char* expected = s.size() % 2 ? "odd length" : allDigits ? nullptr : "not a hex digit";
    try {
        bytes = util::hexToBytes(s);
        FUZZ_CHECK(expected == nullptr, "hexToBytes accepted bad hex text");
        FUZZ_CHECK(bytes.size() * 2 == s.size() && util::bytesToHex(bytes) == s, "hexToBytes round trip");
    } catch (const std::invalid_argument& e) {
        FUZZ_CHECK(expected && std::strcmp(e.what(), expected) == 0, "hexToBytes threw the wrong message");
    } catch (...) {
        FUZZ_CHECK(false, "hexToBytes threw an undocumented exception");
    }
}

void checkReaders(const std::string& s)
{
    try {
        const std::uint8_t v = util::readU8(s);
        FUZZ_CHECK(!s.empty() && v == static_cast<std::uint8_t>(s[0]), "readU8");
    } catch (const std::out_of_range&) {
        FUZZ_CHECK(s.empty(), "readU8 threw on non-empty input");
    } catch (...) {
        FUZZ_CHECK(false, "readU8 threw an undocumented exception");
    }
    std::uint16_t v16 = 0;
    const bool short16 = throwsInvalid([&] { v16 = util::readU16(s); }, "length not enough");
    FUZZ_CHECK(short16 == (s.size() < 2), "readU16 length check");
    FUZZ_CHECK(short16 || v16 == bigEndian(s, 2), "readU16 value");
    std::uint32_t v32 = 0;
    const bool short32 = throwsInvalid([&] { v32 = util::readU32(s); }, "length not enough");
    FUZZ_CHECK(short32 == (s.size() < 4), "readU32 length check");
    FUZZ_CHECK(short32 || v32 == bigEndian(s, 4), "readU32 value");

    FUZZ_CHECK(util::peekU8(s) == bigEndian(s, 1), "peekU8");
    FUZZ_CHECK(util::peekU16(s) == bigEndian(s, 2), "peekU16");
    FUZZ_CHECK(util::peekU32(s) == bigEndian(s, 4), "peekU32");

    const std::uint32_t value = bigEndian(s, 4);
    FUZZ_CHECK(util::toBytesU8(std::uint8_t(value)) == std::string(1, char(value & 0xFF)), "toBytesU8");
    FUZZ_CHECK(util::readU16(util::toBytesU16(std::uint16_t(value))) == std::uint16_t(value),
               "U16 round trip");
    FUZZ_CHECK(util::readU32(util::toBytesU32(value)) == value, "U32 round trip");
    FUZZ_CHECK(util::makeU16(std::uint8_t(value >> 8), std::uint8_t(value)) == std::uint16_t(value),
               "makeU16");
}

void checkText(const std::string& s)
{
    std::size_t end = s.size();
    while (end > 0 && s[end - 1] == '\0')
        --end;
    FUZZ_CHECK(util::trimTrailingZeros(s) == s.substr(0, end), "trimTrailingZeros");

    std::string utf8;
    try {
        utf8 = util::gb2312ToUtf8(s);
    } catch (...) {
        FUZZ_CHECK(false, "gb2312ToUtf8 threw");
    }
    FUZZ_CHECK(utf8.find('\0') == std::string::npos, "gb2312ToUtf8 kept a zero character");
    const QString decoded = QString::fromUtf8(utf8.data(), int(utf8.size()));
    FUZZ_CHECK(decoded.toStdString() == utf8, "gb2312ToUtf8 gave invalid UTF-8");
    // Plain ASCII up to the first zero is the same in both code pages.
    const std::string head = s.substr(0, s.find('\0'));
    bool ascii = true;
    for (char c : head)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii)
        FUZZ_CHECK(utf8 == head, "gb2312ToUtf8 changed ASCII text");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string s(reinterpret_cast<const char*>(data), size);
    checkHex(s);
    checkReaders(s);
    checkText(s);
    return 0;
}

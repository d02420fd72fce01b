#include "util/Conversions.h"

#include <QString>
#include <QTextCodec>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace util {

const char* const kHexDigits = "0123456789ABCDEF";

namespace {

int hexDigitValue(char c)
{
    const char* end = kHexDigits + 16;
    const char* found = std::lower_bound(kHexDigits, end, c);
    if (found == end || *found != c)
        throw std::invalid_argument("not a hex digit");
    return static_cast<int>(found - kHexDigits);
}

std::uint8_t byteAt(const std::string& bytes, std::size_t i)
{
    return i < bytes.size() ? static_cast<std::uint8_t>(bytes[i]) : 0;
}

} // namespace

std::string hexToBytes(const std::string& hex)
{
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd length");
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigitValue(hex[i]);
        const int low = hexDigitValue(hex[i + 1]);
        bytes.push_back(static_cast<char>((high << 4) | low));
    }
    return bytes;
}

std::string bytesToHex(const std::string& bytes)
{
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        hex.push_back(kHexDigits[b / 16]);
        hex.push_back(kHexDigits[b % 16]);
    }
    return hex;
}

std::string toBytesU8(std::uint8_t value)
{
    return std::string(1, static_cast<char>(value));
}

std::string toBytesU16(std::uint16_t value)
{
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

std::string toBytesU32(std::uint32_t value)
{
    return {static_cast<char>(value >> 24), static_cast<char>((value >> 16) & 0xFF),
            static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}

std::uint8_t readU8(const std::string& bytes)
{
    return static_cast<std::uint8_t>(bytes.at(0));
}

std::uint16_t readU16(const std::string& bytes)
{
    if (bytes.size() < 2)
        throw std::invalid_argument("length not enough");
    return makeU16(byteAt(bytes, 0), byteAt(bytes, 1));
}

std::uint32_t readU32(const std::string& bytes)
{
    if (bytes.size() < 4)
        throw std::invalid_argument("length not enough");
    return peekU32(bytes);
}

std::uint8_t peekU8(std::string bytes)
{
    return byteAt(bytes, 0);
}

std::uint16_t peekU16(std::string bytes)
{
    return makeU16(byteAt(bytes, 0), byteAt(bytes, 1));
}

std::uint32_t peekU32(std::string bytes)
{
    return (std::uint32_t(byteAt(bytes, 0)) << 24) | (std::uint32_t(byteAt(bytes, 1)) << 16) |
           (std::uint32_t(byteAt(bytes, 2)) << 8) | std::uint32_t(byteAt(bytes, 3));
}

std::string trimTrailingZeros(std::string bytes)
{
    const std::size_t last = bytes.find_last_not_of('\0');
    if (last == std::string::npos)
        return {};
    bytes.resize(last + 1);
    return bytes;
}

std::string gb2312ToUtf8(const std::string& gb2312)
{
    QTextCodec* gb = QTextCodec::codecForName("gb2312");
    QTextCodec* utf8 = QTextCodec::codecForName("utf-8");
    QString text = gb->toUnicode(gb2312.data(), static_cast<int>(gb2312.size()));
    const int zero = text.indexOf(QChar(0));
    if (zero >= 0)
        text.truncate(zero);
    const QByteArray out = utf8->fromUnicode(text);
    return std::string(out.constData(), static_cast<std::size_t>(out.size()));
}

} // namespace util

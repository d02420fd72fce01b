#pragma once

// Helpers shared by the tst_data_* tests.

#include "data/Data.h"
#include "util/Conversions.h"

#include <QByteArray>
#include <QString>
#include <QtTest>

#include <cstdint>
#include <string>

// Byte strings print as Qt prints a QByteArray (printable text, escapes for the rest).
namespace QTest {
template <> inline char* toString(const std::string& bytes)
{
    return QTest::toString(QByteArray(bytes.data(), static_cast<int>(bytes.size())));
}
} // namespace QTest

Q_DECLARE_METATYPE(std::string)

namespace testdata {

// Hex text with optional spaces to bytes: bytes("07 E8 05").
inline std::string bytes(const std::string& hex)
{
    std::string compact;
    for (char c : hex)
        if (c != ' ')
            compact.push_back(c);
    return util::hexToBytes(compact);
}

inline std::string zeros(std::size_t n)
{
    return std::string(n, '\0');
}

// A 10-byte name field: the text, then zero bytes.
inline std::string nameField(const std::string& text)
{
    return text + zeros(10 - text.size());
}

} // namespace testdata

// The content invariant: length() is the size of toBytes().
#define VERIFY_DATA_INVARIANT(data)                                                                          \
    do {                                                                                                     \
        const Data& invariantData_ = (data);                                                                 \
        const std::string invariantBytes_ = invariantData_.toBytes();                                        \
        QCOMPARE(invariantData_.length(), static_cast<std::int32_t>(invariantBytes_.size()));                \
    } while (false)

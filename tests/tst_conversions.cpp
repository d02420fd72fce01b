#include "util/Conversions.h"

#include <QtTest>

#include <stdexcept>

using namespace util;

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

} // namespace

Q_DECLARE_METATYPE(std::string)

class TestConversions : public QObject
{
    Q_OBJECT

private slots:
    void hexToBytes_valid_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("frame head") << QByteArray("5AA51234") << QByteArray("\x5A\xA5\x12\x34", 4);
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("all digits") << QByteArray("0123456789ABCDEF")
                                    << QByteArray("\x01\x23\x45\x67\x89\xAB\xCD\xEF", 8);
        QTest::newRow("zero bytes") << QByteArray("0000") << QByteArray("\0\0", 2);
    }
    void hexToBytes_valid()
    {
        QFETCH(QByteArray, hex);
        QFETCH(QByteArray, expected);
        const std::string out = hexToBytes(hex.toStdString());
        QCOMPARE(QByteArray(out.data(), int(out.size())), expected);
        QCOMPARE(QByteArray::fromStdString(bytesToHex(out)), hex);
    }

    void hexToBytes_invalid_data()
    {
        QTest::addColumn<QByteArray>("hex");
        QTest::addColumn<QString>("message");
        QTest::newRow("odd before digits") << QByteArray("5AA") << "odd length";
        QTest::newRow("odd with bad digit") << QByteArray("zzz") << "odd length";
        QTest::newRow("lower case") << QByteArray("5a") << "not a hex digit";
        QTest::newRow("G") << QByteArray("G0") << "not a hex digit";
        QTest::newRow("blank") << QByteArray("5A A5") + "0"
                               << "not a hex digit";
        QTest::newRow("high bit char") << QByteArray("\xC3\xA4") << "not a hex digit";
        QTest::newRow("after last digit") << QByteArray("F@") << "not a hex digit";
        QTest::newRow("before first digit") << QByteArray("/0") << "not a hex digit";
    }
    void hexToBytes_invalid()
    {
        QFETCH(QByteArray, hex);
        QFETCH(QString, message);
        try {
            hexToBytes(hex.toStdString());
            QFAIL("no exception");
        } catch (const std::invalid_argument& e) {
            QCOMPARE(QString(e.what()), message);
        }
    }

    void bytesToHex_values()
    {
        QCOMPARE(bytesToHex(bytes({0x00, 0xFF, 0x0A})), std::string("00FF0A"));
        QCOMPARE(bytesToHex(""), std::string());
        std::string all;
        for (int i = 0; i < 256; ++i)
            all.push_back(static_cast<char>(i));
        QCOMPARE(hexToBytes(bytesToHex(all)), all);
    }

    void integersToBytes()
    {
        QCOMPARE(toBytesU8(0xAB), bytes({0xAB}));
        QCOMPARE(toBytesU16(0x1234), bytes({0x12, 0x34}));
        QCOMPARE(toBytesU16(0xFFFE), bytes({0xFF, 0xFE}));
        QCOMPARE(toBytesU32(0x01020304), bytes({0x01, 0x02, 0x03, 0x04}));
        QCOMPARE(toBytesU32(0x80), bytes({0x00, 0x00, 0x00, 0x80}));
        const std::uint16_t stored = 300;
        QCOMPARE(toBytesU16(stored), bytes({0x01, 0x2C}));
    }

    void readers()
    {
        QCOMPARE(readU8(bytes({0xFE, 0x01})), std::uint8_t(0xFE));
        QCOMPARE(readU16(bytes({0x12, 0x34})), std::uint16_t(0x1234));
        QCOMPARE(readU16(bytes({0xFF, 0xFF, 0x00})), std::uint16_t(0xFFFF));
        QCOMPARE(readU32(bytes({0x01, 0x02, 0x03, 0x04})), std::uint32_t(0x01020304));
        QCOMPARE(readU32(bytes({0xFF, 0xFF, 0xFF, 0xFE})), std::uint32_t(0xFFFFFFFE));
        QVERIFY_EXCEPTION_THROWN(readU8(std::string()), std::out_of_range);
    }

    void readers_short_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("size");
        QTest::newRow("u16 empty") << 16 << 0;
        QTest::newRow("u16 one") << 16 << 1;
        QTest::newRow("u32 empty") << 32 << 0;
        QTest::newRow("u32 three") << 32 << 3;
    }
    void readers_short()
    {
        QFETCH(int, width);
        QFETCH(int, size);
        const std::string in(static_cast<std::size_t>(size), '\x01');
        try {
            if (width == 16)
                readU16(in);
            else
                readU32(in);
            QFAIL("no exception");
        } catch (const std::invalid_argument& e) {
            QCOMPARE(QString(e.what()), QString("length not enough"));
        }
    }

    void peekers_missing_bytes_read_as_zero()
    {
        QCOMPARE(peekU8(std::string()), std::uint8_t(0));
        QCOMPARE(peekU16(bytes({0x12})), std::uint16_t(0x1200));
        QCOMPARE(peekU32(bytes({0x01, 0x02})), std::uint32_t(0x01020000));
        QCOMPARE(peekU32(bytes({0x01, 0x02, 0x03, 0x04, 0x05})), std::uint32_t(0x01020304));
    }

    void makeU16_value()
    {
        QCOMPARE(makeU16(0x28, 0x00), std::uint16_t(10240));
        static_assert(makeU16(0x12, 0x34) == 0x1234);
    }

    void trimTrailingZeros_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("padded") << QByteArray("AB\0\0\0", 5) << QByteArray("AB");
        QTest::newRow("all zero") << QByteArray(4, '\0') << QByteArray();
        QTest::newRow("inner zero kept") << QByteArray("A\0B", 3) << QByteArray("A\0B", 3);
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void trimTrailingZeros()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, out);
        const std::string r = util::trimTrailingZeros(in.toStdString());
        QCOMPARE(QByteArray(r.data(), int(r.size())), out);
    }

    void gb2312ToUtf8_data()
    {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("one character") << QByteArray("\xC9\xE8") << QByteArray("\xE8\xAE\xBE");
        QTest::newRow("cut at zero") << QByteArray("A\0B", 3) << QByteArray("A");
        QTest::newRow("wrench") << QByteArray("\xB0\xE2\xCA\xD6") << QString::fromUtf8("扳手").toUtf8();
        QTest::newRow("padded name") << QByteArray("\xB0\xE2\xCA\xD6\0\0\0\0\0\0", 10)
                                     << QString::fromUtf8("扳手").toUtf8();
        QTest::newRow("empty") << QByteArray() << QByteArray();
    }
    void gb2312ToUtf8()
    {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, out);
        const std::string r = util::gb2312ToUtf8(in.toStdString());
        QCOMPARE(QByteArray(r.data(), int(r.size())), out);
    }

    void gb2312ToUtf8_undecodable_does_not_throw()
    {
        // A lone lead byte and bytes outside the code page become replacement characters.
        const std::string r = util::gb2312ToUtf8(bytes({0xB0, 0xFF, 0xFF, 0x41}));
        QVERIFY(!r.empty());
        QVERIFY(QString::fromUtf8(r.data(), int(r.size())).endsWith(QLatin1Char('A')));
    }
};

QTEST_GUILESS_MAIN(TestConversions)
#include "tst_conversions.moc"

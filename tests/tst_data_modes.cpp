// The mode parameter contents: torque, gear and sensor lists, angle and fallback values.

#include "DataColumns.h"
#include "tst_data_helpers.h"

#include "data/AngleModeStructData.h"
#include "data/DataFactory.h"
#include "data/FallbackStructData.h"
#include "data/GearModeStructData.h"
#include "data/SensorModeStructData.h"
#include "data/TorqueModeStructData.h"

using testdata::bytes;
using testdata::nameField;
using testdata::zeros;

namespace {

// The two wrenches W1 (100, delay 5) and W2 (-1, delay 0) as 32 bytes.
std::string twoWrenches()
{
    return bytes("00 02") + nameField("W1") + bytes("00 00 00 64 05") + nameField("W2") +
           bytes("FF FF FF FF 00");
}

std::string twoGears()
{
    return bytes("02 01 00 00 00 0A 02 00 00 00 14");
}

} // namespace

class TestDataModes : public QObject
{
    Q_OBJECT

private slots:
    void torqueTwoWrenches();
    void torqueEveryShorterPrefixFails();
    void torqueCountZero();
    void torqueSingleByteFails();
    void torqueCountBeyondInput_data();
    void torqueCountBeyondInput();
    void torqueNames_data();
    void torqueNames();
    void torqueToString();
    void torqueCountKeepsLow16Bits();

    void gearTwoGears();
    void gearShortInputFails_data();
    void gearShortInputFails();
    void gearToString();
    void gear255RoundTrips();
    void gearBeyond255WritesEveryEntry();

    void sensorOneSensor();
    void sensorRoundTrip();
    void sensorCountBeyondInput_data();
    void sensorCountBeyondInput();
    void sensorToString();

    void angle_data();
    void angle();
    void angleShortInput_data();
    void angleShortInput();

    void fallback_data();
    void fallback();
    void fallbackShortInput_data();
    void fallbackShortInput();

    void listFromBytesAppends();
};

// ---- torque ----

void TestDataModes::torqueTwoWrenches()
{
    TorqueModeStructData data;
    data.addEntry(TorqueModeParam("W1", 100, 5));
    data.addEntry(TorqueModeParam("W2", -1, 0));
    QCOMPARE(data.toBytes(), twoWrenches());
    QCOMPARE(data.toBytes().size(), std::size_t(32));
    QCOMPARE(data.length(), 32);
    QCOMPARE(data.countWidth(), 2);
    VERIFY_DATA_INVARIANT(data);

    TorqueModeStructData back;
    QVERIFY(back.fromBytes(twoWrenches()));
    QCOMPARE(back.entries().size(), std::size_t(2));
    QCOMPARE(back.entries()[0].name(), nameField("W1"));
    QCOMPARE(back.entries()[0].coefficient(), 100);
    QCOMPARE(int(back.entries()[0].delayTime()), 5);
    QCOMPARE(back.entries()[1].name(), nameField("W2"));
    QCOMPARE(back.entries()[1].coefficient(), -1);
    QCOMPARE(int(back.entries()[1].delayTime()), 0);
    QCOMPARE(back.toBytes(), twoWrenches());
    QCOMPARE(back.length(), 32);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataModes::torqueEveryShorterPrefixFails()
{
    const std::string full = twoWrenches();
    for (std::size_t n = 0; n < full.size(); ++n) {
        TorqueModeStructData data;
        QVERIFY2(!data.fromBytes(full.substr(0, n)), QByteArray::number(int(n)));
        QVERIFY(data.entries().empty());
        VERIFY_DATA_INVARIANT(data);
    }
}

void TestDataModes::torqueCountZero()
{
    TorqueModeStructData data;
    QVERIFY(data.fromBytes(bytes("00 00")));
    QVERIFY(data.entries().empty());
    QCOMPARE(data.toBytes(), bytes("00 00"));
    QVERIFY(data.fromBytes(bytes("00 00 12 34")));
    QVERIFY(data.entries().empty());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::torqueSingleByteFails()
{
    TorqueModeStructData data;
    QVERIFY(!data.fromBytes(bytes("00")));
    QVERIFY(!data.fromBytes(std::string()));
    QVERIFY(data.entries().empty());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::torqueCountBeyondInput_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("count 3, two wrenches") << bytes("00 03") + twoWrenches().substr(2);
    QTest::newRow("count 1, nothing") << bytes("00 01");
    QTest::newRow("count 65535, two wrenches") << bytes("FF FF") + twoWrenches().substr(2);
    QTest::newRow("count 256, two wrenches") << bytes("01 00") + twoWrenches().substr(2);
}

void TestDataModes::torqueCountBeyondInput()
{
    QFETCH(std::string, input);
    TorqueModeStructData data;
    data.addEntry(TorqueModeParam("X", 1, 1));
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(data.entries().size(), std::size_t(1));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::torqueNames_data()
{
    QTest::addColumn<std::string>("name");
    QTest::addColumn<std::string>("nameOnWire");
    QTest::newRow("short") << std::string("W1") << nameField("W1");
    QTest::newRow("longer than 10") << std::string("WRENCH-0123456") << std::string("WRENCH-012");
    QTest::newRow("empty") << std::string() << zeros(10);
    QTest::newRow("trailing zero kept") << bytes("41 00") << nameField("A");
}

void TestDataModes::torqueNames()
{
    QFETCH(std::string, name);
    QFETCH(std::string, nameOnWire);
    TorqueModeStructData data;
    data.addEntry(TorqueModeParam(name, 1, 2));
    QCOMPARE(data.toBytes(), bytes("00 01") + nameOnWire + bytes("00 00 00 01 02"));
    TorqueModeStructData back;
    QVERIFY(back.fromBytes(data.toBytes()));
    QCOMPARE(back.entries()[0].name(), nameOnWire);
    QCOMPARE(back.entries()[0].name().size(), std::size_t(10));
    VERIFY_DATA_INVARIANT(back);
}

void TestDataModes::torqueToString()
{
    TorqueModeStructData data;
    QCOMPARE(data.toString(), std::string());
    data.addEntry(TorqueModeParam("W1", 100, 5));
    data.addEntry(TorqueModeParam("W2", -1, 255));
    QCOMPARE(data.toString(),
             std::string("name:W1, value:100, delayTime:5\nname:W2, value:-1, delayTime:255\n"));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::torqueCountKeepsLow16Bits()
{
    TorqueModeStructData data;
    for (int i = 0; i < 65536 + 1; ++i)
        data.addEntry(TorqueModeParam("W", i, 0));
    const std::string encoded = data.toBytes();
    QCOMPARE(encoded.substr(0, 2), bytes("00 01"));
    QCOMPARE(data.length(), 2 + 15 * (65536 + 1));
    VERIFY_DATA_INVARIANT(data);
}

// ---- gear ----

void TestDataModes::gearTwoGears()
{
    GearModeStructData data;
    QVERIFY(data.fromBytes(twoGears()));
    QCOMPARE(data.entries().size(), std::size_t(2));
    QCOMPARE(int(data.entries()[0].level()), 1);
    QCOMPARE(data.entries()[0].pressure(), 10u);
    QCOMPARE(int(data.entries()[1].level()), 2);
    QCOMPARE(data.entries()[1].pressure(), 20u);
    QCOMPARE(data.length(), 11);
    QCOMPARE(data.countWidth(), 1);
    QCOMPARE(data.toBytes(), twoGears());
    VERIFY_DATA_INVARIANT(data);

    GearModeStructData built;
    built.addEntry(GearModeParam(1, 10));
    built.addEntry(GearModeParam(2, 20));
    QCOMPARE(built.toBytes(), twoGears());
    QCOMPARE(built.toHex(), std::string("02010000000A0200000014"));
}

void TestDataModes::gearShortInputFails_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("empty") << std::string();
    QTest::newRow("second gear missing") << bytes("02 01 00 00 00 0A");
    for (std::size_t n = 1; n < twoGears().size(); ++n)
        QTest::addRow("prefix %d", int(n)) << twoGears().substr(0, n);
    QTest::newRow("count 255, two gears") << bytes("FF") + twoGears().substr(1);
}

void TestDataModes::gearShortInputFails()
{
    QFETCH(std::string, input);
    GearModeStructData data;
    QVERIFY(!data.fromBytes(input));
    QVERIFY(data.entries().empty());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::gearToString()
{
    GearModeStructData data;
    QCOMPARE(data.toString(), std::string("level count : 0\n"));
    data.addEntry(GearModeParam('1', 10));
    data.addEntry(GearModeParam('B', 0xFFFFFFFFu));
    QCOMPARE(data.toString(),
             std::string("level count : 2\nlevel 0 : 1, value : 10\nlevel 1 : B, value : 4294967295\n"));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::gear255RoundTrips()
{
    GearModeStructData data;
    for (int i = 0; i < 255; ++i)
        data.addEntry(GearModeParam(static_cast<std::uint8_t>(i), static_cast<std::uint32_t>(i * 1000)));
    const std::string encoded = data.toBytes();
    QCOMPARE(encoded.substr(0, 1), bytes("FF"));
    GearModeStructData back;
    QVERIFY(back.fromBytes(encoded));
    QCOMPARE(back.entries().size(), std::size_t(255));
    QCOMPARE(back.toBytes(), encoded);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataModes::gearBeyond255WritesEveryEntry()
{
    GearModeStructData data;
    for (int i = 0; i < 300; ++i)
        data.addEntry(GearModeParam(1, static_cast<std::uint32_t>(i)));
    const std::string encoded = data.toBytes();
    QCOMPARE(encoded.size(), std::size_t(1 + 5 * 300));
    QCOMPARE(encoded.substr(0, 1), bytes("FF"));
    QCOMPARE(data.length(), 1 + 5 * 300);
    VERIFY_DATA_INVARIANT(data);
    // The count byte cannot say 300: reading gives the first 255 gears.
    GearModeStructData back;
    QVERIFY(back.fromBytes(encoded));
    QCOMPARE(back.entries().size(), std::size_t(255));
    QCOMPARE(back.entries()[254].pressure(), 254u);
}

// ---- sensor ----

void TestDataModes::sensorOneSensor()
{
    const std::string name = bytes("53 31 00 00 00 00 00 00 00 7A"); // S1, zeros, then z
    SensorModeStructData data;
    QVERIFY(data.fromBytes(bytes("00 01") + name + bytes("00 00 01 00")));
    QCOMPARE(data.entries().size(), std::size_t(1));
    QCOMPARE(data.entries()[0].name(), name);
    QCOMPARE(data.entries()[0].value(), 256);
    QCOMPARE(data.length(), 16);
    QCOMPARE(data.countWidth(), 2);
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::sensorRoundTrip()
{
    SensorModeStructData data;
    data.addEntry(SensorModeParam("P", -256));
    data.addEntry(SensorModeParam("SENSOR-LONG-NAME", 1));
    const std::string expected = bytes("00 02") + nameField("P") + bytes("FF FF FF 00") +
                                 std::string("SENSOR-LON") + bytes("00 00 00 01");
    QCOMPARE(data.toBytes(), expected);
    VERIFY_DATA_INVARIANT(data);
    SensorModeStructData back;
    QVERIFY(back.fromBytes(expected + bytes("AA BB")));
    QCOMPARE(back.toBytes(), expected);
    QCOMPARE(back.entries()[0].value(), -256);
    QCOMPARE(back.entries()[1].name(), std::string("SENSOR-LON"));
    VERIFY_DATA_INVARIANT(back);
}

void TestDataModes::sensorCountBeyondInput_data()
{
    QTest::addColumn<std::string>("input");
    const std::string one = nameField("S") + bytes("00 00 00 01");
    QTest::newRow("empty") << std::string();
    QTest::newRow("one byte") << bytes("00");
    QTest::newRow("count 1, nothing") << bytes("00 01");
    QTest::newRow("count 1, 13 bytes") << bytes("00 01") + one.substr(0, 13);
    QTest::newRow("count 2, one sensor") << bytes("00 02") + one;
    QTest::newRow("count 65535, one sensor") << bytes("FF FF") + one;
}

void TestDataModes::sensorCountBeyondInput()
{
    QFETCH(std::string, input);
    SensorModeStructData data;
    QVERIFY(!data.fromBytes(input));
    QVERIFY(data.entries().empty());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataModes::sensorToString()
{
    SensorModeStructData data;
    QCOMPARE(data.toString(), std::string());
    data.addEntry(SensorModeParam("S1", 256));
    data.addEntry(SensorModeParam("S2", -3));
    QCOMPARE(data.toString(), std::string("name:S1, value:256\nname:S2, value:-3\n"));
}

// ---- angle ----

void TestDataModes::angle_data()
{
    QTest::addColumn<std::string>("input");
    QTest::addColumn<int>("angle");
    QTest::addColumn<std::string>("text");
    QTest::newRow("-100") << bytes("FF 9C") << -100 << std::string("max angle : -100\n");
    QTest::newRow("0") << bytes("00 00") << 0 << std::string("max angle : 0\n");
    QTest::newRow("max") << bytes("7F FF") << 32767 << std::string("max angle : 32767\n");
    QTest::newRow("min") << bytes("80 00") << -32768 << std::string("max angle : -32768\n");
    QTest::newRow("extra bytes ignored") << bytes("01 2C 55 66") << 300 << std::string("max angle : 300\n");
}

void TestDataModes::angle()
{
    QFETCH(std::string, input);
    QFETCH(int, angle);
    QFETCH(std::string, text);
    std::unique_ptr<Data> data = DataFactory::instance()->create(7);
    QVERIFY(data->fromBytes(input));
    auto* read = dynamic_cast<AngleModeStructData*>(data.get());
    QVERIFY(read);
    QCOMPARE(int(read->angle()), angle);
    QCOMPARE(read->toString(), text);
    QCOMPARE(read->toBytes(), input.substr(0, 2));
    QCOMPARE(read->length(), 2);
    VERIFY_DATA_INVARIANT(*read);

    AngleModeStructData built(static_cast<std::int16_t>(angle));
    QCOMPARE(built.toBytes(), input.substr(0, 2));
}

void TestDataModes::angleShortInput_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("empty") << std::string();
    QTest::newRow("one byte") << bytes("FF");
}

void TestDataModes::angleShortInput()
{
    QFETCH(std::string, input);
    AngleModeStructData data(-5);
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(int(data.angle()), -5);
    VERIFY_DATA_INVARIANT(data);
}

// ---- fallback ----

void TestDataModes::fallback_data()
{
    testdata::addColumns<std::string, int, int, std::string>("input", "angle", "current", "text");
    QTest::newRow("300, 25") << bytes("01 2C 19") << 300 << 25 << std::string("angle: 300, ampere: 2\n");
    QTest::newRow("zero") << bytes("00 00 00") << 0 << 0 << std::string("angle: 0, ampere: 0\n");
    QTest::newRow("9 shows 0") << bytes("00 01 09") << 1 << 9 << std::string("angle: 1, ampere: 0\n");
    QTest::newRow("max") << bytes("FF FF FF") << 65535 << 255 << std::string("angle: 65535, ampere: 25\n");
    QTest::newRow("extra bytes ignored")
        << bytes("01 2C 19 77") << 300 << 25 << std::string("angle: 300, ampere: 2\n");
}

void TestDataModes::fallback()
{
    QFETCH(std::string, input);
    QFETCH(int, angle);
    QFETCH(int, current);
    QFETCH(std::string, text);
    FallbackStructData data;
    QVERIFY(data.fromBytes(input));
    QCOMPARE(int(data.angle()), angle);
    QCOMPARE(int(data.current()), current);
    QCOMPARE(data.toString(), text);
    QCOMPARE(data.toBytes(), input.substr(0, 3));
    QCOMPARE(data.length(), 3);
    VERIFY_DATA_INVARIANT(data);

    FallbackStructData built(static_cast<std::uint16_t>(angle), static_cast<std::uint8_t>(current));
    QCOMPARE(built.toBytes(), input.substr(0, 3));
}

void TestDataModes::fallbackShortInput_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("empty") << std::string();
    QTest::newRow("one byte") << bytes("01");
    QTest::newRow("two bytes") << bytes("01 2C");
}

void TestDataModes::fallbackShortInput()
{
    QFETCH(std::string, input);
    FallbackStructData data(7, 8);
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(int(data.angle()), 7);
    QCOMPARE(int(data.current()), 8);
    VERIFY_DATA_INVARIANT(data);
}

// ---- list appending ----

void TestDataModes::listFromBytesAppends()
{
    GearModeStructData data;
    data.addEntry(GearModeParam(9, 99));
    QVERIFY(data.fromBytes(twoGears()));
    QCOMPARE(data.entries().size(), std::size_t(3));
    QCOMPARE(int(data.entries()[0].level()), 9);
    QCOMPARE(data.toBytes(), bytes("03 09 00 00 00 63") + twoGears().substr(1));
    VERIFY_DATA_INVARIANT(data);
}

QTEST_APPLESS_MAIN(TestDataModes)
#include "tst_data_modes.moc"

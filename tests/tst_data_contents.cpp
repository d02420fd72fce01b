// The factory and the simple and generic contents: NullData, IntegerData, StringData,
// DateTimeData and StructData.

#include "DataColumns.h"
#include "tst_data_helpers.h"

#include "data/AngleModeStructData.h"
#include "data/BoltModeStructData.h"
#include "data/DataFactory.h"
#include "data/DateTimeData.h"
#include "data/FallbackStructData.h"
#include "data/GearModeStructData.h"
#include "data/IntegerData.h"
#include "data/NullData.h"
#include "data/SensorModeStructData.h"
#include "data/StringData.h"
#include "data/StructData.h"
#include "data/TorqueModeStructData.h"

#include <QDateTime>

#include <climits>
#include <thread>
#include <typeinfo>
#include <vector>

using testdata::bytes;
using testdata::nameField;
using testdata::zeros;

class TestDataContents : public QObject
{
    Q_OBJECT

private slots:
    void factoryCreatesEveryClass_data();
    void factoryCreatesEveryClass();
    void factoryRejectsOtherIds_data();
    void factoryRejectsOtherIds();
    void factoryInstanceIsShared();

    void nullDataDiscardsAnyBytes_data();
    void nullDataDiscardsAnyBytes();

    void integerEncoding_data();
    void integerEncoding();
    void integerFromBytesIgnoresFifthByte();
    void integerFromShortInputKeepsValue_data();
    void integerFromShortInputKeepsValue();

    void stringKeepsBytes_data();
    void stringKeepsBytes();

    void dateTimeEncoding_data();
    void dateTimeEncoding();
    void dateTimeConstructionReadsLocalClock();
    void dateTimeFromSixBytesKeepsValue();
    void dateTimeFromFactoryKeepsCreationTimeOnFailure();
    void dateTimeFromEightBytesIgnoresLast();
    void dateTimeStoresOutOfRangeFields();
    void dateTimeSetters();

    void structFieldNames_data();
    void structFieldNames();
    void structTwoFields();
    void structToString();
    void structEmpty();
    void structShortHeaderChangesNothing_data();
    void structShortHeaderChangesNothing();
    void structCountBeyondInput_data();
    void structCountBeyondInput();
    void structFromBytesAppends();
    void structCountKeepsLow16Bits();
};

// ---- factory ----

void TestDataContents::factoryCreatesEveryClass_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("className");
    QTest::addColumn<int>("newLength");
    QTest::newRow("0 null") << 0 << QString(typeid(NullData).name()) << 0;
    QTest::newRow("1 date-time") << 1 << QString(typeid(DateTimeData).name()) << 7;
    QTest::newRow("2 integer") << 2 << QString(typeid(IntegerData).name()) << 4;
    QTest::newRow("3 string") << 3 << QString(typeid(StringData).name()) << 0;
    QTest::newRow("4 struct") << 4 << QString(typeid(StructData).name()) << 3;
    QTest::newRow("5 torque") << 5 << QString(typeid(TorqueModeStructData).name()) << 2;
    QTest::newRow("6 bolt") << 6 << QString(typeid(BoltModeStructData).name()) << 16;
    QTest::newRow("7 angle") << 7 << QString(typeid(AngleModeStructData).name()) << 2;
    QTest::newRow("8 gear") << 8 << QString(typeid(GearModeStructData).name()) << 1;
    QTest::newRow("9 sensor") << 9 << QString(typeid(SensorModeStructData).name()) << 2;
    QTest::newRow("10 fallback") << 10 << QString(typeid(FallbackStructData).name()) << 3;
}

void TestDataContents::factoryCreatesEveryClass()
{
    QFETCH(int, id);
    QFETCH(QString, className);
    QFETCH(int, newLength);
    std::unique_ptr<Data> data = DataFactory::instance()->create(id);
    QVERIFY(data);
    const Data& ref = *data;
    QCOMPARE(QString(typeid(ref).name()), className);
    QCOMPARE(data->length(), newLength);
    VERIFY_DATA_INVARIANT(*data);
}

void TestDataContents::factoryRejectsOtherIds_data()
{
    QTest::addColumn<int>("id");
    QTest::newRow("11") << 11;
    QTest::newRow("-1") << -1;
    QTest::newRow("12") << 12;
    QTest::newRow("INT_MAX") << INT_MAX;
    QTest::newRow("INT_MIN") << INT_MIN;
}

void TestDataContents::factoryRejectsOtherIds()
{
    QFETCH(int, id);
    QVERIFY(!DataFactory::instance()->create(id));
}

void TestDataContents::factoryInstanceIsShared()
{
    std::vector<DataFactory*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = DataFactory::instance(); });
    for (std::thread& t : threads)
        t.join();
    DataFactory* factory = DataFactory::instance();
    QVERIFY(factory);
    for (DataFactory* other : seen)
        QCOMPARE(other, factory);
}

// ---- NullData ----

void TestDataContents::nullDataDiscardsAnyBytes_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("empty") << std::string();
    QTest::newRow("one zero") << bytes("00");
    QTest::newRow("several") << bytes("5A A5 12 34 FF");
}

void TestDataContents::nullDataDiscardsAnyBytes()
{
    QFETCH(std::string, input);
    NullData data;
    QVERIFY(data.fromBytes(input));
    QCOMPARE(data.length(), 0);
    QCOMPARE(data.toBytes(), std::string());
    QCOMPARE(data.toString(), std::string());
    QCOMPARE(data.toHex(), std::string());
    VERIFY_DATA_INVARIANT(data);
}

// ---- IntegerData ----

void TestDataContents::integerEncoding_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<std::string>("hex");
    QTest::addColumn<std::string>("text");
    QTest::newRow("-2") << -2 << std::string("FFFFFFFE") << std::string("-2");
    QTest::newRow("min") << INT_MIN << std::string("80000000") << std::string("-2147483648");
    QTest::newRow("max") << INT_MAX << std::string("7FFFFFFF") << std::string("2147483647");
    QTest::newRow("0") << 0 << std::string("00000000") << std::string("0");
    QTest::newRow("256") << 256 << std::string("00000100") << std::string("256");
}

void TestDataContents::integerEncoding()
{
    QFETCH(int, value);
    QFETCH(std::string, hex);
    QFETCH(std::string, text);
    IntegerData data(value);
    QCOMPARE(data.toBytes(), bytes(hex));
    QCOMPARE(data.toHex(), hex);
    QCOMPARE(data.toString(), text);
    QCOMPARE(data.length(), 4);
    VERIFY_DATA_INVARIANT(data);

    IntegerData back;
    QVERIFY(back.fromBytes(data.toBytes()));
    QCOMPARE(back.value(), value);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataContents::integerFromBytesIgnoresFifthByte()
{
    IntegerData data;
    QVERIFY(data.fromBytes(bytes("00 00 01 00 05")));
    QCOMPARE(data.value(), 256);
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::integerFromShortInputKeepsValue_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("0 bytes") << std::string();
    QTest::newRow("1 byte") << bytes("01");
    QTest::newRow("2 bytes") << bytes("01 02");
    QTest::newRow("3 bytes") << bytes("01 02 03");
}

void TestDataContents::integerFromShortInputKeepsValue()
{
    QFETCH(std::string, input);
    IntegerData data(-7);
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(data.value(), -7);
    VERIFY_DATA_INVARIANT(data);
}

// ---- StringData ----

void TestDataContents::stringKeepsBytes_data()
{
    QTest::addColumn<std::string>("value");
    QTest::newRow("empty") << std::string();
    QTest::newRow("GB2312 name") << bytes("D5 C5 C8 FD"); // a two-character Chinese name
    QTest::newRow("embedded zero") << bytes("41 00 42");
    QTest::newRow("all zero") << zeros(5);
    QTest::newRow("text") << std::string("OPERATOR");
}

void TestDataContents::stringKeepsBytes()
{
    QFETCH(std::string, value);
    StringData data(value);
    QCOMPARE(data.toBytes(), value);
    QCOMPARE(data.toString(), value);
    QCOMPARE(data.toHex(), util::bytesToHex(value));
    QCOMPARE(data.length(), static_cast<std::int32_t>(value.size()));
    VERIFY_DATA_INVARIANT(data);

    StringData back("previous");
    QVERIFY(back.fromBytes(value));
    QCOMPARE(back.value(), value);
    VERIFY_DATA_INVARIANT(back);
}

// ---- DateTimeData ----

void TestDataContents::dateTimeEncoding_data()
{
    testdata::addColumns<int, int, int, int, int, int, std::string, std::string>(
        "year", "month", "day", "hour", "minute", "second", "hex", "text");
    QTest::newRow("7 May 2024 09:05:03")
        << 2024 << 5 << 7 << 9 << 5 << 3 << std::string("07E80507090503") << std::string("2024-05-7 9:5:3");
    QTest::newRow("31 Dec 2024 23:59:59")
        << 2024 << 12 << 31 << 23 << 59 << 59 << std::string("07E80C1F173B3B")
        << std::string("2024-12-31 23:59:59");
    QTest::newRow("1 Jan 1999 midnight")
        << 1999 << 1 << 1 << 0 << 0 << 0 << std::string("07CF0101000000") << std::string("1999-01-1 0:0:0");
    QTest::newRow("month 10") << 2030 << 10 << 10 << 10 << 10 << 10 << std::string("07EE0A0A0A0A0A")
                              << std::string("2030-10-10 10:10:10");
}

void TestDataContents::dateTimeEncoding()
{
    QFETCH(int, year);
    QFETCH(int, month);
    QFETCH(int, day);
    QFETCH(int, hour);
    QFETCH(int, minute);
    QFETCH(int, second);
    QFETCH(std::string, hex);
    QFETCH(std::string, text);
    DateTimeData data(static_cast<std::uint16_t>(year), static_cast<std::uint8_t>(month),
                      static_cast<std::uint8_t>(day), static_cast<std::uint8_t>(hour),
                      static_cast<std::uint8_t>(minute), static_cast<std::uint8_t>(second));
    QCOMPARE(data.toBytes(), bytes(hex));
    QCOMPARE(data.toHex(), hex);
    QCOMPARE(data.toString(), text);
    QCOMPARE(data.length(), 7);
    VERIFY_DATA_INVARIANT(data);

    DateTimeData back(1, 1, 1, 1, 1, 1);
    QVERIFY(back.fromBytes(bytes(hex)));
    QCOMPARE(int(back.year()), year);
    QCOMPARE(int(back.month()), month);
    QCOMPARE(int(back.day()), day);
    QCOMPARE(int(back.hour()), hour);
    QCOMPARE(int(back.minute()), minute);
    QCOMPARE(int(back.second()), second);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataContents::dateTimeConstructionReadsLocalClock()
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const DateTimeData data;
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    const QDateTime held(QDate(data.year(), data.month(), data.day()),
                         QTime(data.hour(), data.minute(), data.second()));
    QVERIFY2(held.isValid(), data.toString().c_str());
    QVERIFY2(before <= held && held <= after, data.toString().c_str());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::dateTimeFromSixBytesKeepsValue()
{
    DateTimeData data(2024, 5, 7, 9, 5, 3);
    QVERIFY(!data.fromBytes(bytes("07 E9 01 02 03 04")));
    QCOMPARE(data.toHex(), std::string("07E80507090503"));
    for (std::size_t n = 0; n < 7; ++n) {
        QVERIFY(!data.fromBytes(bytes("07 E9 01 02 03 04 05").substr(0, n)));
        QCOMPARE(data.toHex(), std::string("07E80507090503"));
    }
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::dateTimeFromFactoryKeepsCreationTimeOnFailure()
{
    std::unique_ptr<Data> data = DataFactory::instance()->create(1);
    const std::string created = data->toBytes();
    QVERIFY(!data->fromBytes(bytes("07 E9 01 02 03 04")));
    QCOMPARE(data->toBytes(), created);
    VERIFY_DATA_INVARIANT(*data);
}

void TestDataContents::dateTimeFromEightBytesIgnoresLast()
{
    DateTimeData data(2000, 1, 1, 0, 0, 0);
    QVERIFY(data.fromBytes(bytes("07 E8 05 07 09 05 03 FF")));
    QCOMPARE(data.toString(), std::string("2024-05-7 9:5:3"));
    QCOMPARE(data.length(), 7);
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::dateTimeStoresOutOfRangeFields()
{
    DateTimeData data(2000, 1, 1, 0, 0, 0);
    QVERIFY(data.fromBytes(bytes("07 E8 0D 20 18 3C FF")));
    QCOMPARE(int(data.month()), 13);
    QCOMPARE(int(data.day()), 32);
    QCOMPARE(int(data.hour()), 24);
    QCOMPARE(int(data.minute()), 60);
    QCOMPARE(int(data.second()), 255);
    QCOMPARE(data.toString(), std::string("2024-13-32 24:60:255"));
    QCOMPARE(data.toHex(), std::string("07E80D20183CFF"));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::dateTimeSetters()
{
    DateTimeData data(2000, 1, 1, 0, 0, 0);
    data.setYear(2024);
    data.setMonth(5);
    data.setDay(7);
    data.setHour(9);
    data.setMinute(5);
    data.setSecond(3);
    QCOMPARE(data.toHex(), std::string("07E80507090503"));
    VERIFY_DATA_INVARIANT(data);
}

// ---- StructData ----

void TestDataContents::structFieldNames_data()
{
    QTest::addColumn<std::string>("name");
    QTest::addColumn<std::string>("nameOnWire");
    QTest::newRow("one byte") << std::string("A") << nameField("A");
    QTest::newRow("ten bytes") << std::string("ABCDEFGHIJ") << std::string("ABCDEFGHIJ");
    QTest::newRow("twelve bytes") << std::string("ABCDEFGHIJKL") << std::string("ABCDEFGHIJ");
    QTest::newRow("empty") << std::string() << zeros(10);
    QTest::newRow("GB2312") << bytes("D5 C5 C8 FD") << bytes("D5 C5 C8 FD") + zeros(6);
}

void TestDataContents::structFieldNames()
{
    QFETCH(std::string, name);
    QFETCH(std::string, nameOnWire);
    StructData data;
    data.addField(Param(name, 7));
    QCOMPARE(data.toBytes(), bytes("00 00 01") + nameOnWire + bytes("00 00 00 07"));
    VERIFY_DATA_INVARIANT(data);

    StructData back;
    QVERIFY(back.fromBytes(data.toBytes()));
    QCOMPARE(back.fields().size(), std::size_t(1));
    QCOMPARE(back.fields()[0].name(), nameOnWire); // read back as the 10 bytes, padding included
    QCOMPARE(back.fields()[0].value(), 7);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataContents::structTwoFields()
{
    StructData data;
    data.setType(0x41);
    data.addField(Param("A", 1));
    data.addField(Param("B", -1));
    const std::string expected =
        bytes("41 00 02") + nameField("A") + bytes("00 00 00 01") + nameField("B") + bytes("FF FF FF FF");
    QCOMPARE(data.toBytes(), expected);
    QCOMPARE(data.length(), 3 + 28);
    QCOMPARE(data.toHex(), util::bytesToHex(expected));
    VERIFY_DATA_INVARIANT(data);

    std::unique_ptr<Data> back = DataFactory::instance()->create(4);
    QVERIFY(back->fromBytes(expected));
    auto* read = dynamic_cast<StructData*>(back.get());
    QVERIFY(read);
    QCOMPARE(int(read->type()), 0x41);
    QCOMPARE(read->fields().size(), std::size_t(2));
    QCOMPARE(read->fields()[0].name(), nameField("A"));
    QCOMPARE(read->fields()[0].value(), 1);
    QCOMPARE(read->fields()[1].name(), nameField("B"));
    QCOMPARE(read->fields()[1].value(), -1);
    QCOMPARE(read->toBytes(), expected);
    VERIFY_DATA_INVARIANT(*read);
}

void TestDataContents::structToString()
{
    StructData data;
    data.setType(0x41);
    QCOMPARE(data.toString(), std::string("type:A\n"));
    data.addField(Param("A", 1));
    data.addField(Param("B", -1));
    QCOMPARE(data.toString(), std::string("type:A\nname:A, value:1\nname:B, value:-1\n"));
    VERIFY_DATA_INVARIANT(data);

    StructData zeroType;
    QCOMPARE(zeroType.toString(), std::string("type:") + zeros(1) + "\n");
}

void TestDataContents::structEmpty()
{
    StructData data;
    QCOMPARE(data.toBytes(), bytes("00 00 00"));
    QCOMPARE(data.length(), 3);
    StructData back;
    QVERIFY(back.fromBytes(bytes("07 00 00 FF FF")));
    QCOMPARE(int(back.type()), 7);
    QVERIFY(back.fields().empty());
    VERIFY_DATA_INVARIANT(back);
}

void TestDataContents::structShortHeaderChangesNothing_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("0 bytes") << std::string();
    QTest::newRow("1 byte") << bytes("41");
    QTest::newRow("2 bytes") << bytes("41 00");
}

void TestDataContents::structShortHeaderChangesNothing()
{
    QFETCH(std::string, input);
    StructData data;
    data.setType(0x33);
    data.addField(Param("X", 5));
    const std::string before = data.toBytes();
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(data.toBytes(), before);
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::structCountBeyondInput_data()
{
    QTest::addColumn<std::string>("input");
    const std::string one = nameField("A") + bytes("00 00 00 01");
    QTest::newRow("count 1, no field") << bytes("41 00 01");
    QTest::newRow("count 1, 13 field bytes") << bytes("41 00 01") + one.substr(0, 13);
    QTest::newRow("count 2, one field") << bytes("41 00 02") + one;
    QTest::newRow("count 2, one field and 13 bytes") << bytes("41 00 02") + one + one.substr(0, 13);
    QTest::newRow("count 65535, one field") << bytes("41 FF FF") + one;
}

void TestDataContents::structCountBeyondInput()
{
    QFETCH(std::string, input);
    StructData fresh;
    QVERIFY(!fresh.fromBytes(input));
    QVERIFY(fresh.fields().empty());
    QCOMPARE(int(fresh.type()), 0x41); // the type byte is set before the count is checked
    VERIFY_DATA_INVARIANT(fresh);

    StructData filled;
    filled.addField(Param("X", 5));
    QVERIFY(!filled.fromBytes(input));
    QCOMPARE(filled.fields().size(), std::size_t(1));
    QCOMPARE(filled.fields()[0].name(), std::string("X"));
    VERIFY_DATA_INVARIANT(filled);
}

void TestDataContents::structFromBytesAppends()
{
    StructData data;
    data.addField(Param("X", 5));
    QVERIFY(data.fromBytes(bytes("01 00 01") + nameField("A") + bytes("00 00 00 01") + bytes("EE EE")));
    QCOMPARE(data.fields().size(), std::size_t(2));
    QCOMPARE(data.fields()[0].name(), std::string("X"));
    QCOMPARE(data.fields()[1].name(), nameField("A"));
    QCOMPARE(data.length(), 3 + 28);
    VERIFY_DATA_INVARIANT(data);
}

void TestDataContents::structCountKeepsLow16Bits()
{
    StructData data;
    for (int i = 0; i < 65536 + 2; ++i)
        data.addField(Param("F", i));
    const std::string encoded = data.toBytes();
    QCOMPARE(encoded.substr(0, 3), bytes("00 00 02"));
    QCOMPARE(data.length(), 3 + 14 * (65536 + 2));
    VERIFY_DATA_INVARIANT(data);
    // The count cannot say 65538: reading gives the two fields it announces.
    StructData back;
    QVERIFY(back.fromBytes(encoded));
    QCOMPARE(back.fields().size(), std::size_t(2));
}

QTEST_APPLESS_MAIN(TestDataContents)
#include "tst_data_contents.moc"

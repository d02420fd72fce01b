// The bolt-mode content: a wrench name and the metric and imperial standard blocks.

#include "DataColumns.h"
#include "tst_data_helpers.h"

#include "data/BoltModeStructData.h"
#include "data/DataFactory.h"

#include <stdexcept>

using testdata::bytes;
using testdata::nameField;
using testdata::zeros;

namespace {

const std::string kMetric = "\xE5\x85\xAC\xE5\x88\xB6";   // 公制
const std::string kImperial = "\xE8\x8B\xB1\xE5\x88\xB6"; // 英制

std::string torque(std::int32_t value)
{
    return util::toBytesU32(static_cast<std::uint32_t>(value));
}

// A block with 3 diameters and 2 grades; torques base, base + 1, ... base + 5.
std::string block3x2(std::uint8_t standard, int base)
{
    std::string out = util::toBytesU8(standard) + bytes("03") + nameField("M8") + nameField("M10") +
                      nameField("M12") + bytes("02") + nameField("8.8") + nameField("10.9");
    for (int i = 0; i < 6; ++i)
        out += torque(base + i);
    return out;
}

std::string both3x2()
{
    return nameField("WRENCH") + block3x2(0, 100) + block3x2(1, 200);
}

} // namespace

class TestDataBolt : public QObject
{
    Q_OBJECT

private slots:
    void emptyContent();
    void torquesPaddedOnWriting();
    void moreTorquesThanTableWritesTable();
    void readsBothBlocks();
    void standardByteIgnored();
    void thirteenBytesWithOneDiameterFails();
    void trailingBytesIgnored();
    void shortInputChangesNothing_data();
    void shortInputChangesNothing();
    void everyShorterPrefixFails();
    void failureKeepsEntriesRead_data();
    void failureKeepsEntriesRead();
    void truncatedLastNameIsKept();
    void toStringExample();
    void namesCutToTen();
    void countBytesCarryLow8Bits();
    void roundTripBuilt();
    void blockIndexOutOfRange();
};

void TestDataBolt::emptyContent()
{
    BoltModeStructData data;
    const std::string empty = zeros(10) + bytes("00 00 00 01 00 00");
    QCOMPARE(data.toBytes(), empty);
    QCOMPARE(data.length(), 16);
    VERIFY_DATA_INVARIANT(data);

    std::unique_ptr<Data> fromFactory = DataFactory::instance()->create(6);
    QCOMPARE(fromFactory->toBytes(), empty);

    BoltModeStructData named;
    named.setName("ABC");
    const std::string namedEmpty = nameField("ABC") + bytes("00 00 00 01 00 00");
    QCOMPARE(named.toBytes(), namedEmpty);

    BoltModeStructData back;
    QVERIFY(back.fromBytes(namedEmpty));
    QCOMPARE(back.name(), nameField("ABC"));
    for (std::size_t k = 0; k < 2; ++k) {
        QVERIFY(back.block(k).diameterNames().empty());
        QVERIFY(back.block(k).gradeNames().empty());
        QVERIFY(back.block(k).torques().empty());
    }
    QCOMPARE(back.length(), 16);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataBolt::torquesPaddedOnWriting()
{
    BoltModeStructData data;
    data.block(0).addDiameterName("M10");
    data.block(0).addDiameterName("M12");
    data.block(0).addGradeName("8.8");
    data.block(0).addTorque(50);
    QCOMPARE(data.length(), 16 + 20 + 10 + 8);
    const std::string expected = zeros(10) + bytes("00 02") + nameField("M10") + nameField("M12") +
                                 bytes("01") + nameField("8.8") + torque(50) + torque(0) + bytes("01 00 00");
    QCOMPARE(data.toBytes(), expected);
    QCOMPARE(data.block(0).torques().size(), std::size_t(2));
    QCOMPARE(data.block(0).torques()[1], 0);
    QVERIFY(data.toString().find("50, 0, \n") != std::string::npos);
    QCOMPARE(data.toBytes(), expected); // a second write adds nothing
    QCOMPARE(data.block(0).torques().size(), std::size_t(2));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::moreTorquesThanTableWritesTable()
{
    BoltModeStructData data;
    data.block(1).addDiameterName("D");
    data.block(1).addGradeName("G");
    data.block(1).addTorque(1);
    data.block(1).addTorque(2);
    data.block(1).addTorque(3);
    const std::string expected = zeros(10) + bytes("00 00 00") + bytes("01 01") + nameField("D") +
                                 bytes("01") + nameField("G") + torque(1);
    QCOMPARE(data.toBytes(), expected);
    QCOMPARE(data.length(), static_cast<std::int32_t>(expected.size()));
    QCOMPARE(data.block(1).torques().size(), std::size_t(3)); // kept, though not written
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::readsBothBlocks()
{
    BoltModeStructData data;
    QVERIFY(data.fromBytes(both3x2()));
    QCOMPARE(data.name(), nameField("WRENCH"));
    for (std::size_t k = 0; k < 2; ++k) {
        const BoltStandardBlock& block = data.block(k);
        QCOMPARE(block.diameterNames().size(), std::size_t(3));
        QCOMPARE(block.gradeNames().size(), std::size_t(2));
        QCOMPARE(block.torques().size(), std::size_t(6));
        QCOMPARE(block.diameterNames()[1], nameField("M10"));
        QCOMPARE(block.gradeNames()[1], nameField("10.9"));
        for (int i = 0; i < 6; ++i)
            QCOMPARE(block.torques()[std::size_t(i)], int(k == 0 ? 100 : 200) + i);
    }
    QCOMPARE(data.length(), static_cast<std::int32_t>(both3x2().size()));
    QCOMPARE(data.toBytes(), both3x2());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::standardByteIgnored()
{
    const std::string input = nameField("W") + block3x2(1, 100) + block3x2(0, 200);
    BoltModeStructData data;
    QVERIFY(data.fromBytes(input));
    QCOMPARE(data.block(0).torques()[0], 100);
    QCOMPARE(data.block(1).torques()[0], 200);
    // Written back with the block index as the standard byte.
    QCOMPARE(data.toBytes(), nameField("W") + block3x2(0, 100) + block3x2(1, 200));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::thirteenBytesWithOneDiameterFails()
{
    BoltModeStructData data;
    QVERIFY(!data.fromBytes(nameField("ABC") + bytes("00 01 4D")));
    QCOMPARE(data.name(), nameField("ABC"));
    QCOMPARE(data.block(0).diameterNames().size(), std::size_t(1));
    QCOMPARE(data.block(0).diameterNames()[0], std::string("M"));
    QVERIFY(data.block(0).gradeNames().empty());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::trailingBytesIgnored()
{
    BoltModeStructData data;
    QVERIFY(data.fromBytes(both3x2() + bytes("00 FF 01 02 03")));
    QCOMPARE(data.toBytes(), both3x2());
    QCOMPARE(data.block(1).torques().size(), std::size_t(6));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::shortInputChangesNothing_data()
{
    QTest::addColumn<std::string>("input");
    for (std::size_t n = 0; n < 13; ++n)
        QTest::addRow("%d bytes", int(n)) << both3x2().substr(0, n);
}

void TestDataBolt::shortInputChangesNothing()
{
    QFETCH(std::string, input);
    BoltModeStructData data;
    data.setName("KEEP");
    data.block(0).addDiameterName("D");
    const std::string before = data.toBytes();
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(data.toBytes(), before);
    QCOMPARE(data.name(), std::string("KEEP"));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::everyShorterPrefixFails()
{
    // Block 1 ends with torques, so every cut of it misses a count, a name start or a torque.
    const std::string full = both3x2();
    for (std::size_t n = 0; n < full.size(); ++n) {
        BoltModeStructData data;
        QVERIFY2(!data.fromBytes(full.substr(0, n)), QByteArray::number(int(n)));
        VERIFY_DATA_INVARIANT(data);
    }
}

void TestDataBolt::failureKeepsEntriesRead_data()
{
    testdata::addColumns<std::string, int, int, int, int>("input", "diameters0", "grades0", "torques0",
                                                          "diameters1");
    const std::string full = both3x2();
    const std::size_t block0End = 10 + block3x2(0, 0).size();
    QTest::newRow("block 0 last torque cut") << full.substr(0, block0End - 1) << 3 << 2 << 5 << 0;
    QTest::newRow("block 1 standard only") << full.substr(0, block0End + 1) << 3 << 2 << 6 << 0;
    // A name that starts right at the end of the input is read as empty; the next one
    // starts beyond the end and fails.
    QTest::newRow("block 1 after one diameter") << full.substr(0, block0End + 12) << 3 << 2 << 6 << 2;
    QTest::newRow("block 0 announces 255 diameters")
        << nameField("W") + bytes("00 FF") + nameField("A") + nameField("B") << 3 << 0 << 0 << 0;
    QTest::newRow("block 0 grade count missing")
        << nameField("W") + bytes("00 01") + nameField("A") << 1 << 0 << 0 << 0;
}

void TestDataBolt::failureKeepsEntriesRead()
{
    QFETCH(std::string, input);
    QFETCH(int, diameters0);
    QFETCH(int, grades0);
    QFETCH(int, torques0);
    QFETCH(int, diameters1);
    BoltModeStructData data;
    QVERIFY(!data.fromBytes(input));
    QCOMPARE(int(data.block(0).diameterNames().size()), diameters0);
    QCOMPARE(int(data.block(0).gradeNames().size()), grades0);
    QCOMPARE(int(data.block(0).torques().size()), torques0);
    QCOMPARE(int(data.block(1).diameterNames().size()), diameters1);
    if (diameters0 == 3 && grades0 == 0)
        QCOMPARE(data.block(0).diameterNames()[2], std::string());
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::truncatedLastNameIsKept()
{
    // Block 1 has no diameters, so it has no torques: its one grade name is cut by the end of
    // the input, which reading accepts.
    const std::string input = nameField("W") + bytes("00 00 00") + bytes("01 00 01") + std::string("8.8");
    BoltModeStructData data;
    QVERIFY(data.fromBytes(input));
    QCOMPARE(data.block(1).gradeNames().size(), std::size_t(1));
    QCOMPARE(data.block(1).gradeNames()[0], std::string("8.8"));
    QCOMPARE(data.toBytes(), nameField("W") + bytes("00 00 00 01 00 01") + nameField("8.8"));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::toStringExample()
{
    BoltModeStructData data;
    data.setName("ABC");
    data.block(0).addDiameterName("M10");
    data.block(0).addDiameterName("M12");
    data.block(0).addGradeName("8.8");
    data.block(0).addTorque(50);
    data.block(0).addTorque(70);
    std::string expected = "name : ABC\n";
    expected += "format : " + kMetric + "\n";
    expected += "diameter : M10, M12, \n";
    expected += "8.8, \n";
    expected += "50, 70, \n";
    expected += "format : " + kImperial + "\n";
    expected += "diameter : \n";
    expected += "\n";
    expected += "\n";
    QCOMPARE(data.toString(), expected);
    VERIFY_DATA_INVARIANT(data);
    QCOMPARE(data.toString(), expected);

    data.block(1).addTorque(-4);
    QVERIFY(data.toString().find("diameter : \n\n-4, \n") != std::string::npos);
}

void TestDataBolt::namesCutToTen()
{
    BoltModeStructData data;
    data.setName("A-VERY-LONG-WRENCH");
    data.block(1).addDiameterName("DIAMETER-0123");
    data.block(1).addGradeName("GRADE-0123456");
    data.block(1).addTorque(-1);
    const std::string expected = std::string("A-VERY-LON") + bytes("00 00 00 01 01") +
                                 std::string("DIAMETER-0") + bytes("01") + std::string("GRADE-0123") +
                                 bytes("FF FF FF FF");
    QCOMPARE(data.toBytes(), expected);
    BoltModeStructData back;
    QVERIFY(back.fromBytes(expected));
    QCOMPARE(back.name(), std::string("A-VERY-LON"));
    QCOMPARE(back.block(1).torques()[0], -1);
    QCOMPARE(back.toBytes(), expected);
    VERIFY_DATA_INVARIANT(back);
}

void TestDataBolt::countBytesCarryLow8Bits()
{
    BoltModeStructData data;
    for (int i = 0; i < 257; ++i)
        data.block(0).addDiameterName("D");
    data.block(0).addGradeName("G");
    const std::string encoded = data.toBytes();
    QCOMPARE(encoded.substr(10, 2), bytes("00 01")); // 257 written as 1
    QCOMPARE(data.length(), 16 + 10 * 257 + 10 + 4 * 257);
    QCOMPARE(data.block(0).torques().size(), std::size_t(257));
    VERIFY_DATA_INVARIANT(data);
}

void TestDataBolt::roundTripBuilt()
{
    BoltModeStructData data;
    data.setName("W");
    data.block(0).addDiameterName("M8");
    data.block(0).addGradeName("8.8");
    data.block(0).addGradeName("10.9");
    data.block(0).addTorque(-2147483647 - 1);
    data.block(0).addTorque(2147483647);
    data.block(1).addDiameterName("1/4");
    data.block(1).addGradeName("SAE5");
    data.block(1).addTorque(12);
    std::unique_ptr<Data> back = DataFactory::instance()->create(6);
    QVERIFY(back->fromBytes(data.toBytes()));
    QCOMPARE(back->toBytes(), data.toBytes());
    QCOMPARE(back->toHex(), data.toHex());
    VERIFY_DATA_INVARIANT(*back);
}

void TestDataBolt::blockIndexOutOfRange()
{
    BoltModeStructData data;
    QVERIFY_EXCEPTION_THROWN(data.block(2), std::out_of_range);
}

QTEST_APPLESS_MAIN(TestDataBolt)
#include "tst_data_bolt.moc"

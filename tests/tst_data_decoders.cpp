// Properties every content class shares, checked for all eleven content-type ids: round
// trips, short and long input, random input.

#include "DataColumns.h"
#include "tst_data_helpers.h"

#include "data/DataFactory.h"

#include <exception>
#include <random>
#include <vector>

using testdata::bytes;
using testdata::nameField;

namespace {

std::unique_ptr<Data> create(int id)
{
    return DataFactory::instance()->create(id);
}

struct Sample
{
    const char* name;
    int id;
    std::string encoding; // a valid, non-default encoding that reads back byte for byte
    std::size_t minimum;  // shorter input fails and changes nothing
    bool extraIgnored;    // bytes after the encoding are ignored (not so for the string content)
    bool prefixesFail;    // every input shorter than the encoding fails
};

std::vector<Sample> samples()
{
    return {
        {"null", 0, std::string(), 0, true, false},
        {"date-time", 1, bytes("07 E8 05 07 09 05 03"), 7, true, true},
        {"integer", 2, bytes("FF FF FF FE"), 4, true, true},
        {"string", 3, bytes("D5 C5 00 41"), 0, false, false},
        {"struct", 4,
         bytes("41 00 02") + nameField("A") + bytes("00 00 00 01") + nameField("B") + bytes("FF FF FF FF"), 3,
         true, true},
        {"torque", 5,
         bytes("00 02") + nameField("W1") + bytes("00 00 00 64 05") + nameField("W2") +
             bytes("FF FF FF FF 00"),
         2, true, true},
        {"bolt", 6,
         nameField("W") + bytes("00 01") + nameField("M10") + bytes("01") + nameField("8.8") +
             bytes("00 00 00 32") + bytes("01 01") + nameField("1/2") + bytes("01") + nameField("SAE") +
             bytes("00 00 00 46"),
         13, true, true},
        {"angle", 7, bytes("FF 9C"), 2, true, true},
        {"gear", 8, bytes("02 01 00 00 00 0A 02 00 00 00 14"), 1, true, true},
        {"sensor", 9,
         bytes("00 02") + nameField("P") + bytes("FF FF FF 00") + nameField("Q") + bytes("00 00 00 01"), 2,
         true, true},
        {"fallback", 10, bytes("01 2C 19"), 3, true, true},
    };
}

// Random bytes, half of them small so that counts often announce few entries.
std::string randomBytes(std::mt19937& random, std::size_t maxLength)
{
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> small(0, 3);
    std::bernoulli_distribution pickSmall(0.5);
    std::string out(length(random), '\0');
    for (char& c : out)
        c = static_cast<char>(pickSmall(random) ? small(random) : byte(random));
    return out;
}

// A valid encoding with a few random changes: bytes replaced, removed or inserted, or a cut.
std::string mutated(std::mt19937& random, std::string bytes)
{
    std::uniform_int_distribution<int> edits(1, 4);
    std::uniform_int_distribution<int> kind(0, 3);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int n = edits(random); n > 0; --n) {
        std::uniform_int_distribution<std::size_t> at(0, bytes.size());
        const std::size_t pos = at(random);
        switch (kind(random)) {
        case 0:
            if (pos < bytes.size())
                bytes[pos] = static_cast<char>(byte(random));
            break;
        case 1:
            if (pos < bytes.size())
                bytes.erase(pos, 1);
            break;
        case 2:
            bytes.insert(pos, 1, static_cast<char>(byte(random) % 4));
            break;
        default:
            bytes.resize(pos);
            break;
        }
    }
    return bytes;
}

} // namespace

class TestDataDecoders : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void longInput_data();
    void longInput();
    void shortInput_data();
    void shortInput();
    void shorterThanEncodingFails_data();
    void shorterThanEncodingFails();
    void countsBeyondInputAppendNothing_data();
    void countsBeyondInputAppendNothing();
    void garbage_data();
    void garbage();

private:
    static void addSampleRows();
};

void TestDataDecoders::addSampleRows()
{
    testdata::addColumns<int, std::string, int, bool, bool>("id", "encoding", "minimum", "extraIgnored",
                                                            "prefixesFail");
    for (const Sample& s : samples())
        QTest::newRow(s.name) << s.id << s.encoding << int(s.minimum) << s.extraIgnored << s.prefixesFail;
}

void TestDataDecoders::roundTrip_data()
{
    addSampleRows();
}

void TestDataDecoders::roundTrip()
{
    QFETCH(int, id);
    QFETCH(std::string, encoding);
    std::unique_ptr<Data> data = create(id);
    QVERIFY(data->fromBytes(encoding));
    QCOMPARE(data->toBytes(), encoding);
    QCOMPARE(data->toHex(), util::bytesToHex(encoding));
    QCOMPARE(data->length(), static_cast<std::int32_t>(encoding.size()));
    VERIFY_DATA_INVARIANT(*data);

    std::unique_ptr<Data> again = create(id);
    QVERIFY(again->fromBytes(data->toBytes()));
    QCOMPARE(again->toBytes(), encoding);
    QCOMPARE(again->toString(), data->toString());
    VERIFY_DATA_INVARIANT(*again);
}

void TestDataDecoders::longInput_data()
{
    addSampleRows();
}

void TestDataDecoders::longInput()
{
    QFETCH(int, id);
    QFETCH(std::string, encoding);
    QFETCH(bool, extraIgnored);
    if (!extraIgnored)
        QSKIP("the string content keeps every byte");
    for (const std::string& extra : {bytes("00"), bytes("FF FF FF FF FF"), std::string(100, '\x02')}) {
        std::unique_ptr<Data> data = create(id);
        QVERIFY(data->fromBytes(encoding + extra));
        QCOMPARE(data->toBytes(), encoding);
        VERIFY_DATA_INVARIANT(*data);
    }
}

void TestDataDecoders::shortInput_data()
{
    addSampleRows();
}

void TestDataDecoders::shortInput()
{
    QFETCH(int, id);
    QFETCH(std::string, encoding);
    QFETCH(int, minimum);
    if (minimum == 0)
        QSKIP("no input is too short for this content");
    for (int n = 0; n < minimum; ++n) {
        const std::string input = encoding.substr(0, std::size_t(n));

        std::unique_ptr<Data> fresh = create(id);
        const std::string freshBefore = fresh->toBytes();
        QVERIFY2(!fresh->fromBytes(input), QByteArray::number(n));
        QCOMPARE(fresh->toBytes(), freshBefore);
        VERIFY_DATA_INVARIANT(*fresh);

        std::unique_ptr<Data> filled = create(id);
        QVERIFY(filled->fromBytes(encoding));
        QVERIFY2(!filled->fromBytes(input), QByteArray::number(n));
        QCOMPARE(filled->toBytes(), encoding);
        VERIFY_DATA_INVARIANT(*filled);
    }
}

void TestDataDecoders::shorterThanEncodingFails_data()
{
    addSampleRows();
}

void TestDataDecoders::shorterThanEncodingFails()
{
    QFETCH(int, id);
    QFETCH(std::string, encoding);
    QFETCH(bool, prefixesFail);
    if (!prefixesFail)
        QSKIP("every prefix is a valid input for this content");
    for (std::size_t n = 0; n < encoding.size(); ++n) {
        std::unique_ptr<Data> data = create(id);
        QVERIFY2(!data->fromBytes(encoding.substr(0, n)), QByteArray::number(int(n)));
        VERIFY_DATA_INVARIANT(*data);
    }
}

void TestDataDecoders::countsBeyondInputAppendNothing_data()
{
    testdata::addColumns<int, std::string, int, int>("id", "encoding", "countOffset", "countWidth");
    for (const Sample& s : samples()) {
        if (s.id == 4)
            QTest::newRow(s.name) << s.id << s.encoding << 1 << 2;
        else if (s.id == 5 || s.id == 9)
            QTest::newRow(s.name) << s.id << s.encoding << 0 << 2;
        else if (s.id == 8)
            QTest::newRow(s.name) << s.id << s.encoding << 0 << 1;
    }
}

// A list content whose count announces more entries than the input holds fails and keeps
// the entries it had: it compares equal, byte for byte, to its state before.
void TestDataDecoders::countsBeyondInputAppendNothing()
{
    QFETCH(int, id);
    QFETCH(std::string, encoding);
    QFETCH(int, countOffset);
    QFETCH(int, countWidth);
    const std::size_t at = std::size_t(countOffset);
    const unsigned count =
        countWidth == 1 ? util::peekU8(encoding.substr(at)) : util::peekU16(encoding.substr(at));
    for (unsigned announced : {count + 1, count + 2, countWidth == 1 ? 255u : 65535u}) {
        std::string input = encoding;
        input.replace(at, std::size_t(countWidth),
                      countWidth == 1 ? util::toBytesU8(std::uint8_t(announced))
                                      : util::toBytesU16(std::uint16_t(announced)));
        std::unique_ptr<Data> filled = create(id);
        QVERIFY(filled->fromBytes(encoding));
        QVERIFY2(!filled->fromBytes(input), QByteArray::number(announced));
        std::unique_ptr<Data> expected = create(id);
        QVERIFY(expected->fromBytes(encoding));
        if (id == 4)
            QVERIFY(expected->fromBytes(input.substr(0, 1) + bytes("00 00"))); // the type byte is taken
        QCOMPARE(filled->toBytes(), expected->toBytes());
        VERIFY_DATA_INVARIANT(*filled);
    }
}

void TestDataDecoders::garbage_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<std::string>("encoding");
    for (const Sample& s : samples())
        QTest::newRow(s.name) << s.id << s.encoding;
}

// Random input, and valid input with random changes, must never throw or read past its end
// (the sanitizer build watches); whatever the result, the invariant holds, and an accepted
// value encodes to bytes that read back to the same bytes.
void TestDataDecoders::garbage()
{
    QFETCH(int, id);
    QFETCH(std::string, encoding);
    int accepted = 0;
    for (std::uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        const std::string input =
            seed % 2 == 0 ? mutated(random, encoding) : randomBytes(random, seed % 10 == 1 ? 400 : 64);
        const QByteArray where = "seed " + QByteArray::number(seed);
        try {
            std::unique_ptr<Data> data = create(id);
            const bool ok = data->fromBytes(input);
            VERIFY_DATA_INVARIANT(*data);
            (void)data->toString();
            if (ok) {
                ++accepted;
                std::unique_ptr<Data> again = create(id);
                QVERIFY2(again->fromBytes(data->toBytes()), where.constData());
                QCOMPARE(again->toBytes(), data->toBytes());
                VERIFY_DATA_INVARIANT(*again);
            }
            // A second read appends to what the first one left.
            (void)data->fromBytes(randomBytes(random, 64));
            VERIFY_DATA_INVARIANT(*data);
        } catch (const std::exception& e) {
            QFAIL((where + ": " + e.what()).constData());
        }
    }
    qDebug("%d of 3000 inputs accepted", accepted);
    QVERIFY(accepted > 0);
}

QTEST_APPLESS_MAIN(TestDataDecoders)
#include "tst_data_decoders.moc"

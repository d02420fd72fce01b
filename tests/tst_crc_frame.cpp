#include "DataColumns.h"
#include "FrameTestSupport.h"

#include "data/DataFactory.h"
#include "data/DateTimeData.h"
#include "data/IntegerData.h"
#include "data/NullData.h"
#include "data/StringData.h"
#include "device/Frame.h"
#include "protocol/Crc16.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"

#include <QtTest>

#include <random>
#include <typeinfo>

using namespace frametest;

Q_DECLARE_METATYPE(ContentType)
Q_DECLARE_METATYPE(FrameView::Fault)

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// A content whose two answers disagree, as a faulty content class would.
class MismatchedData : public Data
{
public:
    MismatchedData(std::int32_t claimed, std::string bytes) : m_claimed(claimed), m_bytes(std::move(bytes)) {}
    std::int32_t length() const override { return m_claimed; }
    std::string toString() const override { return m_bytes; }
    std::string toBytes() const override { return m_bytes; }
    bool fromBytes(std::string) override { return false; }

private:
    std::int32_t m_claimed;
    std::string m_bytes;
};

ContentType expectedContentType(unsigned key)
{
    switch (key) {
    case 0x01:
    case 0x82:
        return ContentType::DateTime;
    case 0x0B:
        return ContentType::Integer;
    case 0x0E:
        return ContentType::Fallback;
    case 0x11:
        return ContentType::TorqueMode;
    case 0x12:
        return ContentType::BoltMode;
    case 0x13:
        return ContentType::AngleMode;
    case 0x14:
        return ContentType::GearMode;
    case 0x15:
        return ContentType::SensorMode;
    case 0x03:
    case 0x05:
    case 0x07:
    case 0x09:
    case 0x0A:
    case 0x0F:
    case 0x84:
    case 0x86:
    case 0x88:
    case 0x8C:
    case 0x90:
        return ContentType::String;
    default:
        return ContentType::Null;
    }
}

QByteArray packed(std::uint8_t command, bool response, std::unique_ptr<Data> content)
{
    Frame frame(command, response);
    frame.setAddress(Frame::kSenderAddress);
    frame.setData(std::move(content));
    return frame.pack();
}

} // namespace

class TestCrcFrame : public QObject
{
    Q_OBJECT

private slots:
    void crc16_checkValues_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("expected");
        QTest::newRow("digits 1-9") << QByteArray("123456789") << 0x374B;
        QTest::newRow("empty") << QByteArray() << 0xFFFF;
        QTest::newRow("get time request") << hex("5AA51234020000") << 0xEE03;
        QTest::newRow("clear records response") << hex("5AA512340D0000") << 0xDE00;
        QTest::newRow("single zero") << hex("00") << 0xBF40;
        QTest::newRow("single FF") << hex("FF") << 0xFF00;
    }
    void crc16_checkValues()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, expected);
        QCOMPARE(int(crc16(input)), expected);
        QCOMPARE(int(crc16(input.toStdString())), expected);
        QCOMPARE(int(swappedCrc(input)), expected);
    }

    void crc16_nullPointerWithZeroLength() { QCOMPARE(int(crc16(nullptr, 0)), 0xFFFF); }

    // Every table index is reached by some single byte.
    void crc16_everySingleByte()
    {
        for (int b = 0; b < 256; ++b) {
            const QByteArray input(1, static_cast<char>(b));
            QCOMPARE(crc16(input), swappedCrc(input));
        }
    }

    void crc16_everyBytePair()
    {
        QByteArray input(2, '\0');
        for (int first = 0; first < 256; ++first) {
            for (int second = 0; second < 256; ++second) {
                input[0] = static_cast<char>(first);
                input[1] = static_cast<char>(second);
                if (crc16(input) != swappedCrc(input))
                    QFAIL(qPrintable(input.toHex()));
            }
        }
    }

    void crc16_randomInputs()
    {
        std::mt19937 rng(20240507u);
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> size(0, 600);
        for (int round = 0; round < 500; ++round) {
            QByteArray input;
            const int n = size(rng);
            for (int i = 0; i < n; ++i)
                input.append(static_cast<char>(byte(rng)));
            QCOMPARE(crc16(input), swappedCrc(input));
        }
    }

    void crc16_lengthIsAByteCount()
    {
        const QByteArray digits("123456789");
        const auto* data = reinterpret_cast<const std::uint8_t*>(digits.constData());
        QCOMPARE(crc16(data, 4), swappedCrc(digits.left(4)));
        QCOMPARE(crc16(data, 9), std::uint16_t(0x374B));
    }

    void contentTypeFor_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<bool>("response");
        for (int command = 0x01; command <= 0x15; ++command) {
            QTest::addRow("request %02X", command) << command << false;
            QTest::addRow("response %02X", command) << command << true;
        }
        const int others[] = {0x00, 0x16, 0x7F, 0x80, 0x81, 0x82, 0x8C, 0x90, 0x95, 0xFF};
        for (int command : others) {
            QTest::addRow("other request %02X", command) << command << false;
            QTest::addRow("other response %02X", command) << command << true;
        }
    }
    void contentTypeFor()
    {
        QFETCH(int, command);
        QFETCH(bool, response);
        const unsigned key = (response ? 0x80u : 0u) | (unsigned(command) & 0x7Fu);
        const ContentType expected = expectedContentType(key);
        QCOMPARE(Frame::contentTypeFor(std::uint8_t(command), response), expected);

        Frame frame(std::uint8_t(command), response);
        QCOMPARE(frame.contentTypeId(), std::int32_t(expected));
        const std::unique_ptr<Data> reference = DataFactory::instance()->create(std::int32_t(expected));
        QCOMPARE(frame.data() != nullptr, reference != nullptr);
        if (reference) {
            // Dereferenced first: typeid of a call's result evaluates the call.
            const Data& built = *frame.data();
            const Data& made = *reference;
            QCOMPARE(typeid(built).name(), typeid(made).name());
        }
    }

    void contentType_simpleClasses()
    {
        QVERIFY(dynamic_cast<StringData*>(Frame(0x10, true).data()));
        QVERIFY(dynamic_cast<NullData*>(Frame(0x0D, true).data()));
        QVERIFY(dynamic_cast<NullData*>(Frame(0x10, false).data()));
        QVERIFY(dynamic_cast<DateTimeData*>(Frame(0x02, true).data()));
        QVERIFY(dynamic_cast<DateTimeData*>(Frame(0x01, false).data()));
        QVERIFY(dynamic_cast<IntegerData*>(Frame(0x0B, false).data()));
        QVERIFY(dynamic_cast<NullData*>(Frame(0x0B, true).data()));
    }

    void construction()
    {
        Frame frame(0x82, true);
        QCOMPARE(frame.header(), std::uint16_t(0x5AA5));
        QCOMPARE(frame.address(), std::uint16_t(0));
        QCOMPARE(frame.command(), std::uint8_t(0x82));
        QCOMPARE(frame.length(), std::uint16_t(0));
        QVERIFY(frame.isResponse());
        QVERIFY(!Frame(0x02, false).isResponse());
    }

    void pack_workedExamples_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<bool>("response");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("get time request") << 0x02 << false << hex("5AA51234020000EE03");
        QTest::newRow("clear records response") << 0x0D << true << hex("5AA512340D0000DE00");
        QTest::newRow("set time response") << 0x01 << true << frameBytes(0x01);
    }
    void pack_workedExamples()
    {
        QFETCH(int, command);
        QFETCH(bool, response);
        QFETCH(QByteArray, expected);
        Frame frame(std::uint8_t(command), response);
        frame.setAddress(Frame::kSenderAddress);
        frame.updateLength();
        QCOMPARE(frame.length(), std::uint16_t(0));
        const QByteArray bytes = frame.pack();
        QCOMPARE(bytes.toHex(' '), expected.toHex(' '));

        QByteArray buffer = bytes;
        const ExtractionResult result = FrameExtractor::extract(buffer);
        QCOMPARE(result.frames.size(), std::size_t(1));
        QCOMPARE(int(result.frames[0].command), command);
        QVERIFY(result.frames[0].content.isEmpty());
        QVERIFY(result.crcErrors.empty());
        QVERIFY(buffer.isEmpty());
    }

    void pack_addressAsSet()
    {
        Frame frame(0x02, false);
        QCOMPARE(frame.pack(), frameBytes(0x02, {}, 0x0000));
        frame.setAddress(0xABCD);
        QCOMPARE(frame.pack(), frameBytes(0x02, {}, 0xABCD));
    }

    void pack_contents_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("date-time") << 0x02 << hex("07E80507090503")
                                   << hex("5AA51234020007") + hex("07E80507090503");
        QTest::newRow("operator text") << 0x10 << QByteArray("OPERATOR") << frameBody(0x10, "OPERATOR");
        QTest::newRow("gb2312 name") << 0x06 << hex("C9E8B1B8") << frameBody(0x06, hex("C9E8B1B8"));
        QTest::newRow("embedded zeros") << 0x0C << hex("0000010000") << frameBody(0x0C, hex("0000010000"));
    }
    void pack_contents()
    {
        QFETCH(int, command);
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, expected);
        std::unique_ptr<Data> data;
        if (command == 0x02)
            data = std::make_unique<DateTimeData>(2024, 5, 7, 9, 5, 3);
        else
            data = std::make_unique<StringData>(content.toStdString());
        const QByteArray bytes = packed(std::uint8_t(command), true, std::move(data));

        const std::uint16_t crc = modbusCrc(expected);
        expected.append(char(crc & 0xFF)).append(char(crc >> 8));
        QCOMPARE(bytes.toHex(' '), expected.toHex(' '));

        QByteArray buffer = bytes;
        const ExtractionResult result = FrameExtractor::extract(buffer);
        QCOMPARE(result.frames.size(), std::size_t(1));
        QCOMPARE(int(result.frames[0].command), command);
        QCOMPARE(result.frames[0].content, content);
        QVERIFY(buffer.isEmpty());
    }

    void setData_setsLength()
    {
        Frame frame(0x04, true);
        frame.setData(std::make_unique<StringData>("SERIALNUMBER"));
        QCOMPARE(frame.length(), std::uint16_t(12));
        QCOMPARE(frame.data()->toBytes(), std::string("SERIALNUMBER"));
        frame.setData(nullptr);
        QCOMPARE(frame.length(), std::uint16_t(0));
        QVERIFY(!frame.data());
        QCOMPARE(frame.pack().size(), 9);
    }

    void updateLength_followsContent()
    {
        Frame frame(0x10, true);
        frame.setData(std::make_unique<StringData>("AB"));
        static_cast<StringData*>(frame.data())->setValue("ABCDE");
        QCOMPARE(frame.length(), std::uint16_t(2));
        frame.updateLength();
        QCOMPARE(frame.length(), std::uint16_t(5));
    }

    // A content object is present but its length is 0: no content bytes.
    void pack_zeroLengthWritesNoContent()
    {
        Frame fresh(0x02, true); // holds the time of construction, length still 0
        fresh.setAddress(Frame::kSenderAddress);
        QVERIFY(fresh.data() && fresh.data()->length() == 7);
        QCOMPARE(fresh.pack(), frameBytes(0x02));

        QCOMPARE(packed(0x10, true, std::make_unique<StringData>("")), frameBytes(0x10));
        QCOMPARE(packed(0x0D, true, std::make_unique<NullData>()), frameBytes(0x0D));
        QCOMPARE(packed(0x10, true, std::make_unique<MismatchedData>(0, "XYZ")), frameBytes(0x10));
        QCOMPARE(packed(0x10, true, std::make_unique<MismatchedData>(-5, "XYZ")), frameBytes(0x10));
    }

    // The length field always counts the content bytes on the wire.
    void pack_lengthFieldMatchesWrittenBytes()
    {
        Frame frame(0x10, true);
        frame.setAddress(Frame::kSenderAddress);
        frame.setData(std::make_unique<StringData>("AB"));
        static_cast<StringData*>(frame.data())->setValue("ABCDE");
        QCOMPARE(frame.pack(), frameBytes(0x10, "ABCDE"));

        QCOMPARE(packed(0x10, true, std::make_unique<MismatchedData>(9, "XYZ")), frameBytes(0x10, "XYZ"));
        QCOMPARE(packed(0x10, true, std::make_unique<MismatchedData>(1, "")), frameBytes(0x10));
    }

    void pack_largestContent()
    {
        const std::string content(0xFFFF, 'x');
        const QByteArray bytes = packed(0x0C, true, std::make_unique<StringData>(content));
        QCOMPARE(bytes.size(), 0xFFFF + 9);
        QCOMPARE(bytes.mid(5, 2), hex("FFFF"));
        QCOMPARE(bytes, frameBytes(0x0C, QByteArray::fromStdString(content)));
    }

    // A length that the 16-bit field cannot hold would truncate; nothing is framed instead.
    void pack_oversizedContentRefused()
    {
        Frame frame(0x0C, true);
        frame.setData(std::make_unique<StringData>(std::string(0x10000, 'x')));
        QVERIFY(frame.pack().isEmpty());
        QCOMPARE(packed(0x0C, true, std::make_unique<MismatchedData>(3, std::string(70000, 'y'))),
                 QByteArray());
        QCOMPARE(packed(0x0C, true, std::make_unique<MismatchedData>(70000, "y")), frameBytes(0x0C, "y"));
    }

    // Each row: bytes, the fault check() finds, and for a frame its fields as the view reads them.
    void frameView_data()
    {
        // mark, sequence: -1 when there is none
        testdata::addColumns<QByteArray, FrameView::Fault, int, QByteArray, bool, int, qint64>(
            "bytes", "fault", "command", "content", "checksumOk", "mark", "sequence");
        using F = FrameView::Fault;
        const QByteArray record =
            QByteArray(1, '\x01') + QByteArray::fromHex("0000012C") + QByteArray(105, 'x');
        QByteArray bad = frameBytes(0x10, "OP");
        bad[9] = static_cast<char>(bad[9] ^ 0xFF);
        QTest::newRow("good") << frameBytes(0x02, {}) << F::None << 0x02 << QByteArray() << true << -1
                              << -1ll;
        QTest::newRow("good, other address")
            << frameBytes(0x10, "OP", 0xFFFF) << F::None << 0x10 << QByteArray("OP") << true << -1 << -1ll;
        QTest::newRow("bad checksum") << bad << F::None << 0x10 << QByteArray("OP") << false << -1 << -1ll;
        QTest::newRow("record start") << frameBytes(0x0C, QByteArray::fromHex("0000000003")) << F::None
                                      << 0x0C << QByteArray::fromHex("0000000003") << true << 0 << -1ll;
        QTest::newRow("record data") << frameBytes(0x0C, record) << F::None << 0x0C << record << true << 1
                                     << 300ll;
        QTest::newRow("record data, short")
            << frameBytes(0x0C, record.left(109)) << F::None << 0x0C << record.left(109) << true << 1 << -1ll;
        QTest::newRow("mark 3") << frameBytes(0x0C, "\x03") << F::None << 0x0C << QByteArray("\x03") << true
                                << -1 << -1ll;
        QTest::newRow("mark byte of another command")
            << frameBytes(0x10, "\x01") << F::None << 0x10 << QByteArray("\x01") << true << -1 << -1ll;
        QTest::newRow("empty") << QByteArray() << F::TooShort << 0 << QByteArray() << false << -1 << -1ll;
        QTest::newRow("eight bytes") << frameBytes(0x02, {}).left(8) << F::TooShort << 0 << QByteArray()
                                     << false << -1 << -1ll;
        QTest::newRow("wrong header") << frameBytes(0x02, {}).replace(1, 1, "\xA4") << F::WrongHeader << 0
                                      << QByteArray() << false << -1 << -1ll;
        QTest::newRow("swapped header") << frameBytes(0x02, {}).replace(0, 2, "\xA5\x5A") << F::WrongHeader
                                        << 0 << QByteArray() << false << -1 << -1ll;
        QTest::newRow("length says more")
            << frameBytes(0x10, "OP").left(10) << F::WrongLength << 0 << QByteArray() << false << -1 << -1ll;
        QTest::newRow("trailing byte") << frameBytes(0x02, {}) + QByteArray(1, '\0') << F::WrongLength << 0
                                       << QByteArray() << false << -1 << -1ll;
    }
    void frameView()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(FrameView::Fault, fault);
        QCOMPARE(FrameView::check(bytes), fault);
        const std::optional<FrameView> view = FrameView::of(bytes);
        QCOMPARE(view.has_value(), fault == FrameView::Fault::None);
        if (!view)
            return;
        QFETCH(int, command);
        QFETCH(QByteArray, content);
        QFETCH(bool, checksumOk);
        QFETCH(int, mark);
        QFETCH(qint64, sequence);
        QCOMPARE(int(view->header()), 0x5AA5);
        QCOMPARE(int(view->address()), (quint8(bytes[2]) << 8) | quint8(bytes[3]));
        QCOMPARE(int(view->command()), command);
        QCOMPARE(int(view->length()), content.size());
        QCOMPARE(view->content(), content);
        QCOMPARE(view->bytes(), bytes);
        QCOMPARE(view->receivedChecksum(), std::uint16_t((quint8(bytes.at(bytes.size() - 2)) << 8) |
                                                         quint8(bytes.at(bytes.size() - 1))));
        QCOMPARE(view->computedChecksum(), swappedCrc(bytes.left(bytes.size() - 2)));
        QCOMPARE(view->checksumOk(), checksumOk);
        QCOMPARE(view->recordMark() ? int(*view->recordMark()) : -1, mark);
        QCOMPARE(view->recordSequence() ? qint64(*view->recordSequence()) : -1ll, sequence);
        // The builder gives the same frame with a right checksum.
        QByteArray rebuilt = FrameView::build(view->address(), view->command(), view->content());
        QCOMPARE(rebuilt.left(rebuilt.size() - 2), bytes.left(bytes.size() - 2));
        QVERIFY(FrameView::of(rebuilt)->checksumOk());
        // Patching repairs a bad checksum and leaves a good one as it was.
        QByteArray patched = bytes;
        QVERIFY(FrameView::patchChecksum(patched));
        QCOMPARE(patched, rebuilt);
    }

    void frameView_patchRefusesShortBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("one byte") << QByteArray("\x5A");
        QTest::newRow("eight bytes") << frameBytes(0x02, {}).left(8);
    }
    void frameView_patchRefusesShortBytes()
    {
        QFETCH(QByteArray, bytes);
        QByteArray patched = bytes;
        QVERIFY(!FrameView::patchChecksum(patched));
        QCOMPARE(patched, bytes);
    }

    // After a fault stage alters a header byte, the patched frame passes the extractor again.
    void frameView_patchAfterAlteringCommand()
    {
        QByteArray frame = frameBytes(0x10, "OP");
        frame[4] = '\x04';
        QVERIFY(!FrameView::of(frame)->checksumOk());
        QVERIFY(FrameView::patchChecksum(frame));
        QByteArray buffer = frame;
        const ExtractionResult result = FrameExtractor::extract(buffer);
        QCOMPARE(int(result.frames.size()), 1);
        QCOMPARE(int(result.frames[0].command), 0x04);
    }

    void frameView_buildRefusesOversizedContent()
    {
        QVERIFY(FrameView::build(0x1234, 0x0C, QByteArray(65536, 'x')).isEmpty());
        QCOMPARE(FrameView::build(0x1234, 0x0C, QByteArray(65535, 'x')).size(), 65535 + 9);
    }

    void crcErrorMessage_data()
    {
        QTest::addColumn<int>("crc");
        QTest::addColumn<QString>("expected");
        QTest::newRow("worked example") << 0xEE03 << "crc error![EE03]";
        QTest::newRow("leading zeros") << 0x00AB << "crc error![00AB]";
        QTest::newRow("zero") << 0x0000 << "crc error![0000]";
        QTest::newRow("all ones") << 0xFFFF << "crc error![FFFF]";
    }
    void crcErrorMessage()
    {
        QFETCH(int, crc);
        QFETCH(QString, expected);
        QCOMPARE(FrameExtractor::crcErrorMessage(std::uint16_t(crc)), expected);
    }
};

QTEST_GUILESS_MAIN(TestCrcFrame)
#include "tst_crc_frame.moc"

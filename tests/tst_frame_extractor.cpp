#include "DataColumns.h"
#include "FrameTestSupport.h"

#include "protocol/FrameExtractor.h"

#include <QtTest>

#include <deque>
#include <random>
#include <stdexcept>

using namespace frametest;

namespace {

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

// Each frame as its command byte followed by its content.
QByteArrayList flatten(const std::vector<ReceivedFrame>& frames)
{
    QByteArrayList out;
    for (const ReceivedFrame& frame : frames)
        out << QByteArray(1, static_cast<char>(frame.command)) + frame.content;
    return out;
}

QStringList messages(const std::vector<std::uint16_t>& crcs)
{
    QStringList out;
    for (std::uint16_t crc : crcs)
        out << FrameExtractor::crcErrorMessage(crc);
    return out;
}

QString crcMessage(const QByteArray& checkedBytes)
{
    return QStringLiteral("crc error![%1]")
        .arg(QString::number(swappedCrc(checkedBytes), 16).toUpper().rightJustified(4, '0'));
}

struct Outcome
{
    QByteArrayList frames;
    QStringList crcErrors;
    QByteArray remaining;
    QByteArray accounted; // frames and discarded runs, in line order
};

// The extraction steps taken literally, one dropped byte at a time.
class ReferenceExtractor
{
public:
    void feed(const QByteArray& bytes)
    {
        for (char c : bytes)
            m_buffer.push_back(static_cast<std::uint8_t>(c));
    }

    void pass(Outcome& outcome)
    {
        while (step(outcome)) {
        }
    }

    QByteArray remaining() const
    {
        QByteArray out;
        for (std::uint8_t b : m_buffer)
            out.append(static_cast<char>(b));
        return out;
    }

private:
    void drop(std::size_t count) { m_buffer.erase(m_buffer.begin(), m_buffer.begin() + count); }

    // False when the pass waits.
    bool step(Outcome& outcome)
    {
        const std::size_t size = m_buffer.size();
        if (size < 1)
            return false;
        if (m_buffer[0] != 0x5A)
            return drop(1), true;
        if (size < 2)
            return false;
        if (m_buffer[1] != 0xA5)
            return drop(1), true;
        if (size < 5)
            return false;
        if (m_buffer[4] < 0x01 || m_buffer[4] > 0x15)
            return drop(2), true;
        if (size < 7)
            return false;
        const std::size_t length = m_buffer[5] * 256u + m_buffer[6];
        if (length > 10240)
            return drop(2), true;
        if (size < length + 9)
            return false;
        QByteArray checked;
        for (std::size_t i = 0; i < length + 7; ++i)
            checked.append(static_cast<char>(m_buffer[i]));
        const std::uint16_t received =
            static_cast<std::uint16_t>(m_buffer[length + 7] << 8 | m_buffer[length + 8]);
        if (swappedCrc(checked) != received) {
            outcome.crcErrors << crcMessage(checked);
            return drop(2), true;
        }
        outcome.frames << checked.mid(4, 1) + checked.mid(7);
        drop(length + 9);
        return true;
    }

    std::deque<std::uint8_t> m_buffer;
};

Outcome referenceOutcome(const QByteArray& input)
{
    ReferenceExtractor reference;
    Outcome outcome;
    reference.feed(input);
    reference.pass(outcome);
    outcome.remaining = reference.remaining();
    return outcome;
}

// The raw frames and the discarded runs of one pass, in the order they stood in the buffer.
QByteArray inLineOrder(const ExtractionResult& result)
{
    QByteArray bytes;
    auto discarded = result.discarded.cbegin();
    for (std::size_t i = 0; i <= result.frames.size(); ++i) {
        for (; discarded != result.discarded.cend() && discarded->beforeFrame == i; ++discarded) {
            if (discarded->bytes.isEmpty())
                throw std::logic_error("empty discarded run");
            bytes += discarded->bytes;
        }
        if (i < result.frames.size()) {
            const ReceivedFrame& frame = result.frames[i];
            if (frame.raw.mid(7, frame.content.size()) != frame.content ||
                frame.raw.size() != frame.content.size() + 9)
                throw std::logic_error("raw frame does not hold its content");
            bytes += frame.raw;
        }
    }
    if (discarded != result.discarded.cend())
        throw std::logic_error("a discarded run out of order");
    return bytes;
}

// Feeds the stream in chunks of the given size, one pass after each chunk.
Outcome chunkedOutcome(const QByteArray& stream, int chunk)
{
    Outcome outcome;
    QByteArray buffer;
    for (int at = 0; at < stream.size(); at += chunk) {
        buffer.append(stream.mid(at, chunk));
        const ExtractionResult result = FrameExtractor::extract(buffer);
        outcome.frames << flatten(result.frames);
        outcome.crcErrors << messages(result.crcErrors);
        outcome.accounted += inLineOrder(result);
    }
    outcome.remaining = buffer;
    return outcome;
}

QByteArray worked()
{
    return hex("5AA51234020000EE03");
}

QByteArray mixedStream()
{
    return hex("00FF5A") + frameBytes(0x01, hex("07E80507090503")) + hex("5A5A") + frameBytes(0x0D) +
           badCrcFrameBytes(0x05, "NAME") + hex("5AA5123400000011") + frameBytes(0x10, "OPERATOR") +
           hex("5AA5123482") + frameBytes(0x15, QByteArray(40, '\x5A')) + hex("5AA512340128015AA5") +
           frameBytes(0x0C, hex("00000A0000")) + hex("5AA5123401");
}

class RandomStream
{
public:
    explicit RandomStream(unsigned seed) : m_rng(seed) {}

    QByteArray stream;
    QByteArrayList embedded;

    void build(int segments)
    {
        for (int i = 0; i < segments; ++i) {
            appendNoise();
            appendValidFrame();
        }
        appendNoise();
        // Zeros let every pending fake header complete and fail.
        stream.append(QByteArray(10249, '\0'));
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_rng); }

    std::uint8_t randomNonHeaderByte()
    {
        const int b = pick(0, 254);
        return static_cast<std::uint8_t>(b >= 0x5A ? b + 1 : b);
    }

    QByteArray randomContent(int maxLength)
    {
        QByteArray content;
        const int n = pick(0, maxLength);
        for (int i = 0; i < n; ++i)
            content.append(static_cast<char>(pick(0, 9) == 0 ? 0x5A : pick(0, 255)));
        return content;
    }

    void appendNoise()
    {
        const int pieces = pick(0, 4);
        for (int i = 0; i < pieces; ++i) {
            switch (pick(0, 5)) {
            case 0:
                for (int n = pick(1, 60); n > 0; --n)
                    stream.append(static_cast<char>(randomNonHeaderByte()));
                break;
            case 1: // a header whose command is no command
                stream.append(hex("5AA51234"))
                    .append(static_cast<char>(pick(0, 1) ? 0x00 : pick(0x16, 0xFF)));
                break;
            case 2: // a length above the limit
                stream.append(hex("5AA5123401")).append(static_cast<char>(pick(0x28, 0xFF))).append('\x01');
                break;
            case 3:
                stream.append(badCrcFrameBytes(static_cast<std::uint8_t>(pick(1, 0x15)), randomContent(30)));
                break;
            case 4: // a truncated header that later bytes complete or refute
                stream.append(
                    frameBody(static_cast<std::uint8_t>(pick(1, 0x15)), randomContent(20)).left(pick(1, 12)));
                break;
            default:
                stream.append(hex("5A"));
                break;
            }
        }
    }

    void appendValidFrame()
    {
        const std::uint8_t command = static_cast<std::uint8_t>(pick(1, 0x15));
        const QByteArray content = randomContent(pick(0, 3) == 0 ? 300 : 16);
        stream.append(frameBytes(command, content));
        embedded << QByteArray(1, static_cast<char>(command)) + content;
    }

    std::mt19937 m_rng;
};

bool isSubsequence(const QByteArrayList& wanted, const QByteArrayList& found)
{
    int next = 0;
    for (const QByteArray& frame : found) {
        if (next < wanted.size() && frame == wanted.at(next))
            ++next;
    }
    return next == wanted.size();
}

} // namespace

class TestFrameExtractor : public QObject
{
    Q_OBJECT

private slots:
    void edgeCases_data()
    {
        testdata::addColumns<QByteArray, QByteArrayList, QStringList, QByteArray>("input", "frames",
                                                                                  "crcErrors", "remaining");

        const QByteArrayList getTime{hex("02")};
        const QByteArray altered = hex("5AA51234020000EE04");

        QTest::newRow("empty") << QByteArray() << QByteArrayList() << QStringList() << QByteArray();
        QTest::newRow("worked example") << worked() << getTime << QStringList() << QByteArray();
        QTest::newRow("after 00 5A") << hex("005A") + worked() << getTime << QStringList() << QByteArray();
        QTest::newRow("after 5A") << hex("5A") + worked() << getTime << QStringList() << QByteArray();
        QTest::newRow("5A 00 A5 is no header")
            << hex("5A00A51234020000EE03") << QByteArrayList() << QStringList() << QByteArray();
        QTest::newRow("two back to back")
            << worked() + frameBytes(0x10, "OP") << QByteArrayList{hex("02"), "\x10OP"} << QStringList()
            << QByteArray();
        QTest::newRow("last byte altered")
            << altered << QByteArrayList() << QStringList{"crc error![EE03]"} << QByteArray();
        QTest::newRow("altered keeps pending header")
            << altered + hex("5AA5") << QByteArrayList() << QStringList{"crc error![EE03]"} << hex("5AA5");
        QTest::newRow("command 00") << hex("5AA51234000000") + worked() << getTime << QStringList()
                                    << QByteArray();
        QTest::newRow("command 82") << hex("5AA51234820000") + worked() << getTime << QStringList()
                                    << QByteArray();
        QTest::newRow("command 16") << hex("5AA51234160000") + worked() << getTime << QStringList()
                                    << QByteArray();
        QTest::newRow("command FF") << hex("5AA51234FF") << QByteArrayList() << QStringList() << QByteArray();
        QTest::newRow("command 82 alone")
            << hex("5AA5123482") << QByteArrayList() << QStringList() << QByteArray();
        QTest::newRow("length 2801 rejected")
            << hex("5AA5123401280100") + worked() << getTime << QStringList() << QByteArray();
        QTest::newRow("length FFFF rejected")
            << hex("5AA512340CFFFF") << QByteArrayList() << QStringList() << QByteArray();
        QTest::newRow("length 2800 waits") << hex("5AA5123401280000") + worked() << QByteArrayList()
                                           << QStringList() << hex("5AA5123401280000") + worked();
        QTest::newRow("length 3 missing byte") << hex("5AA51234030003414243").left(9) << QByteArrayList()
                                               << QStringList() << hex("5AA512340300034142");
        QTest::newRow("wait for 5A A5") << hex("0000005A") << QByteArrayList() << QStringList() << hex("5A");
        QTest::newRow("wait for address")
            << hex("5AA512") << QByteArrayList() << QStringList() << hex("5AA512");
        QTest::newRow("wait for command")
            << hex("5AA51234") << QByteArrayList() << QStringList() << hex("5AA51234");
        QTest::newRow("wait for length")
            << hex("5AA5123402") << QByteArrayList() << QStringList() << hex("5AA5123402");
        QTest::newRow("wait for length low")
            << hex("5AA512340200") << QByteArrayList() << QStringList() << hex("5AA512340200");
        QTest::newRow("wait for checksum")
            << worked().left(8) << QByteArrayList() << QStringList() << worked().left(8);
        QTest::newRow("frame then partial")
            << worked() + worked().left(5) << getTime << QStringList() << worked().left(5);
        QTest::newRow("address not checked")
            << frameBytes(0x02, {}, 0xFFFF) << getTime << QStringList() << QByteArray();
        QTest::newRow("noise before and between")
            << hex("01025AFF") + worked() + hex("A5A55A00") + frameBytes(0x06, "NAME") + hex("FE")
            << QByteArrayList{hex("02"), "\x06NAME"} << QStringList() << QByteArray();
        const QByteArray hurt = frameBytes(0x05, "ABC").insert(9, '\x00');
        QTest::newRow("noise inside a frame")
            << worked() + hurt + frameBytes(0x07, "NO") << QByteArrayList{hex("02"), "\x07NO"}
            << QStringList{crcMessage(hurt.left(10))} << QByteArray();
        QTest::newRow("largest content")
            << frameBytes(0x0C, QByteArray(10240, '\x5A'))
            << QByteArrayList{"\x0C" + QByteArray(10240, '\x5A')} << QStringList() << QByteArray();
    }
    void edgeCases()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArrayList, frames);
        QFETCH(QStringList, crcErrors);
        QFETCH(QByteArray, remaining);

        QByteArray buffer = input;
        const ExtractionResult result = FrameExtractor::extract(buffer);
        QCOMPARE(flatten(result.frames), frames);
        QCOMPARE(messages(result.crcErrors), crcErrors);
        QCOMPARE(buffer.toHex(), remaining.toHex());

        const Outcome reference = referenceOutcome(input);
        QCOMPARE(reference.frames, frames);
        QCOMPARE(reference.crcErrors, crcErrors);
        QCOMPARE(reference.remaining, remaining);

        // A waiting buffer stays untouched until more bytes come.
        const QByteArray waiting = buffer;
        const ExtractionResult again = FrameExtractor::extract(buffer);
        QVERIFY(again.frames.empty());
        QVERIFY(again.crcErrors.empty());
        QCOMPARE(buffer, waiting);
    }

    // After a quiet line: every candidate announcing more than arrived is dropped by its two
    // header bytes, silently; what does not yet announce a length still waits.
    // Cutting by header and length alone, as a reader comparing captured frames does.
    void cutByLength_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("frames");
        QTest::addColumn<QByteArray>("remaining");
        QByteArray damaged = frameBytes(0x10, "OP");
        damaged[9] = static_cast<char>(damaged[9] ^ 0xFF);
        const QByteArray unknown = frameBytes(0x7F, "X");
        QTest::newRow("empty") << QByteArray() << QByteArrayList() << QByteArray();
        QTest::newRow("worked example") << worked() << QByteArrayList{worked()} << QByteArray();
        QTest::newRow("bad checksum kept") << damaged << QByteArrayList{damaged} << QByteArray();
        QTest::newRow("unknown command kept") << unknown << QByteArrayList{unknown} << QByteArray();
        QTest::newRow("noise before, 5A 5A A5")
            << hex("00015A") + worked() << QByteArrayList{worked()} << QByteArray();
        QTest::newRow("last 5A waits") << worked() + hex("00005A") << QByteArrayList{worked()} << hex("5A");
        QTest::newRow("noise only") << hex("0102A5") << QByteArrayList() << QByteArray();
        QTest::newRow("prefix waits") << hex("005AA51234") << QByteArrayList() << hex("5AA51234");
        QTest::newRow("incomplete waits")
            << worked() + worked().left(8) << QByteArrayList{worked()} << worked().left(8);
        QTest::newRow("length 2801 skips the header")
            << hex("5AA5123401280100") + worked() << QByteArrayList{worked()} << QByteArray();
        QTest::newRow("length 2800 waits")
            << hex("5AA5123401280000") + worked() << QByteArrayList() << hex("5AA5123401280000") + worked();
        QTest::newRow("back to back")
            << worked() + damaged + unknown << QByteArrayList{worked(), damaged, unknown} << QByteArray();
    }
    void cutByLength()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArrayList, frames);
        QFETCH(QByteArray, remaining);
        QByteArray buffer = input;
        const std::vector<QByteArray> cut = FrameExtractor::cutByLength(buffer);
        QCOMPARE(QByteArrayList(cut.begin(), cut.end()), frames);
        QCOMPARE(buffer, remaining);
    }

    void giveUpIncomplete_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("frames");
        QTest::addColumn<QByteArray>("remaining");

        const QByteArrayList getTime{hex("02")};
        QTest::newRow("long announcement hides a request")
            << hex("5AA5123401280000") + worked() << getTime << QByteArray();
        QTest::newRow("two nested announcements")
            << hex("5AA5123401280000") + hex("5AA512340C0100") + worked() << getTime << QByteArray();
        QTest::newRow("request cut short is dropped") << worked().left(8) << QByteArrayList() << QByteArray();
        QTest::newRow("complete frame, then a cut one")
            << worked() + frameBytes(0x06, "NAME").left(10) << getTime << QByteArray();
        QTest::newRow("prefix without length waits")
            << hex("5AA51234") << QByteArrayList() << hex("5AA51234");
    }
    void giveUpIncomplete()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArrayList, frames);
        QFETCH(QByteArray, remaining);

        QByteArray buffer = input;
        const ExtractionResult result = FrameExtractor::extract(buffer, FrameExtractor::Incomplete::GiveUp);
        QCOMPARE(flatten(result.frames), frames);
        QVERIFY(result.crcErrors.empty());
        QCOMPARE(buffer.toHex(), remaining.toHex());
    }

    // A tool that shows the line takes a damaged frame whole, marked, instead of as noise; a
    // receiver (the default) still drops it.
    void keepBadChecksum_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QList<bool>>("checksumOk");
        QTest::addColumn<int>("discardRuns");
        const QByteArray bad = hex("5AA51234020000EE04");
        QTest::newRow("damaged alone") << bad << QList<bool>{false} << 0;
        QTest::newRow("damaged, then good") << bad + worked() << QList<bool>{false, true} << 0;
        QTest::newRow("noise, damaged, noise") << hex("0102") + bad + hex("03") << QList<bool>{false} << 2;
        QTest::newRow("damaged with 5A in it")
            << frametest::badCrcFrameBytes(0x06, hex("5AA5")) << QList<bool>{false} << 0;
    }
    void keepBadChecksum()
    {
        QFETCH(QByteArray, input);
        QFETCH(QList<bool>, checksumOk);
        QFETCH(int, discardRuns);
        QByteArray buffer = input;
        const ExtractionResult result = FrameExtractor::extract(buffer, FrameExtractor::Incomplete::Wait,
                                                                FrameExtractor::BadChecksum::Keep);
        QList<bool> ok;
        QByteArray joined;
        for (const ReceivedFrame& frame : result.frames) {
            ok << frame.checksumOk;
            joined += frame.raw;
            if (!frame.checksumOk) {
                const QByteArray body = frame.raw.left(frame.raw.size() - 2);
                QCOMPARE(frame.computedCrc,
                         std::uint16_t(modbusCrc(body) >> 8 | (modbusCrc(body) & 0xFF) << 8));
            }
        }
        QCOMPARE(ok, checksumOk);
        QCOMPARE(int(result.discarded.size()), discardRuns);
        QCOMPARE(int(result.crcErrors.size()), int(checksumOk.count(false)));
        for (const DiscardedBytes& run : result.discarded)
            joined += run.bytes;
        QCOMPARE(joined.size(), input.size()); // every byte accounted for once
        QVERIFY(buffer.isEmpty());
        QByteArray again = input;
        QCOMPARE(int(FrameExtractor::extract(again).frames.size()), int(checksumOk.count(true)));
    }

    void maximumLength_completesWithLastByte()
    {
        QByteArray content(10240, '\0');
        for (int i = 0; i < content.size(); ++i)
            content[i] = static_cast<char>(i * 7);
        const QByteArray frame = frameBytes(0x12, content);
        QCOMPARE(frame.size(), 10249);

        QByteArray buffer = frame.left(10248);
        QVERIFY(FrameExtractor::extract(buffer).frames.empty());
        QCOMPARE(buffer.size(), 10248);
        buffer.append(frame.right(1));
        const ExtractionResult result = FrameExtractor::extract(buffer);
        QCOMPARE(result.frames.size(), std::size_t(1));
        QCOMPARE(int(result.frames[0].command), 0x12);
        QCOMPARE(result.frames[0].content, content);
        QVERIFY(buffer.isEmpty());
    }

    void chunked_data()
    {
        QTest::addColumn<int>("chunk");
        for (int chunk = 1; chunk <= 20; ++chunk)
            QTest::addRow("chunk %d", chunk) << chunk;
    }
    void chunked()
    {
        QFETCH(int, chunk);
        const QByteArray stream = mixedStream();
        const Outcome whole = referenceOutcome(stream);
        QCOMPARE(whole.frames.size(), 5);
        QCOMPARE(whole.crcErrors.size(), 1);
        QCOMPARE(whole.remaining, hex("5AA5123401"));

        const Outcome pieces = chunkedOutcome(stream, chunk);
        QCOMPARE((pieces.accounted + pieces.remaining).toHex(), stream.toHex());
        QCOMPARE(pieces.frames, whole.frames);
        QCOMPARE(pieces.crcErrors, whole.crcErrors);
        QCOMPARE(pieces.remaining.toHex(), whole.remaining.toHex());
    }

    // A bad checksum costs only two bytes, so a frame starting inside the rejected bytes survives.
    void hiddenFrame_data()
    {
        QTest::addColumn<int>("start");
        for (int start = 2; start <= 24; ++start)
            QTest::addRow("at %d", start) << start;
    }
    void hiddenFrame()
    {
        QFETCH(int, start);
        const int outerLength = 16;
        const QByteArray genuine = frameBytes(0x05, "AB");
        QByteArray stream = frameBody(0x01, QByteArray(outerLength, '\0'));
        stream.append(QByteArray(2, '\0'));
        stream.resize(std::max(stream.size(), start + genuine.size()));
        stream.replace(start, genuine.size(), genuine);
        const QByteArray outerChecked = stream.left(outerLength + 7);
        const bool outerIsCandidate = start >= 7;
        if (outerIsCandidate) {
            const std::uint16_t received = static_cast<std::uint16_t>(
                std::uint8_t(stream[outerLength + 7]) << 8 | std::uint8_t(stream[outerLength + 8]));
            QVERIFY(received != swappedCrc(outerChecked));
        }

        // Zeros complete an outer header made partly of the genuine frame's bytes.
        stream.append(QByteArray(128, '\0'));

        QByteArray buffer = stream;
        const ExtractionResult result = FrameExtractor::extract(buffer);
        QCOMPARE(flatten(result.frames), QByteArrayList{"\x05"
                                                        "AB"});
        if (outerIsCandidate) {
            QVERIFY(!result.crcErrors.empty());
            QCOMPARE(FrameExtractor::crcErrorMessage(result.crcErrors.front()), crcMessage(outerChecked));
        }
        QVERIFY(buffer.isEmpty());
        QCOMPARE(referenceOutcome(stream).crcErrors, messages(result.crcErrors));
    }

    void randomStreams_data()
    {
        QTest::addColumn<unsigned>("seed");
        for (unsigned seed = 1; seed <= 24; ++seed)
            QTest::addRow("seed %u", seed) << seed;
    }
    void randomStreams()
    {
        QFETCH(unsigned, seed);
        RandomStream generator(seed);
        generator.build(60);
        const QByteArray& stream = generator.stream;

        std::mt19937 rng(seed * 7919u);
        Outcome outcome;
        QByteArray buffer;
        QByteArray accounted; // frames and discards in line order
        int fed = 0;
        while (fed < stream.size()) {
            const int chunk = std::uniform_int_distribution<int>(1, 700)(rng);
            buffer.append(stream.mid(fed, chunk));
            fed = std::min(fed + chunk, int(stream.size()));
            const ExtractionResult result = FrameExtractor::extract(buffer);
            outcome.frames << flatten(result.frames);
            outcome.crcErrors << messages(result.crcErrors);
            accounted += inLineOrder(result);
            // What is left is always the unread tail of what was fed, waiting at a header.
            QVERIFY(buffer.size() <= fed);
            QCOMPARE(buffer, stream.mid(fed - buffer.size(), buffer.size()));
            QVERIFY(buffer.isEmpty() || buffer.at(0) == '\x5A');
        }

        QVERIFY(isSubsequence(generator.embedded, outcome.frames));
        QCOMPARE(outcome.frames.size(), generator.embedded.size());
        const Outcome reference = referenceOutcome(stream);
        QCOMPARE(outcome.frames, reference.frames);
        QCOMPARE(outcome.crcErrors, reference.crcErrors);
        QCOMPARE(buffer.toHex(), reference.remaining.toHex());
        // Every consumed byte went either into a frame or into a discarded run.
        QCOMPARE((accounted + buffer).toHex(), stream.toHex());
    }

    // Arbitrary bytes: never a crash, never a read past the end, always a shrinking tail.
    void arbitraryBytes()
    {
        std::mt19937 rng(99u);
        std::uniform_int_distribution<int> byte(0, 255);
        const char alphabet[] = {'\x5A', '\xA5', '\x12', '\x34', '\x00', '\x01', '\x15', '\x28'};
        for (int round = 0; round < 2000; ++round) {
            QByteArray input;
            const int n = round % 40;
            for (int i = 0; i < n; ++i)
                input.append(round % 2 ? alphabet[byte(rng) % 8] : static_cast<char>(byte(rng)));
            QByteArray buffer = input;
            const ExtractionResult result = FrameExtractor::extract(buffer);
            const Outcome reference = referenceOutcome(input);
            QCOMPARE(flatten(result.frames), reference.frames);
            QCOMPARE(messages(result.crcErrors), reference.crcErrors);
            QCOMPARE(buffer, reference.remaining);
            QVERIFY(input.endsWith(buffer));
        }
    }
};

QTEST_GUILESS_MAIN(TestFrameExtractor)
#include "tst_frame_extractor.moc"

#include "tools/varnel-pc/ReplayCommand.h"

#include "capture/CaptureReader.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/Crc16.h"
#include "protocol/FrameExtractor.h"
#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/PcPort.h"
#include "util/Conversions.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <ostream>

namespace {

// After fewer frames than captured, the line is read on until it has been quiet this long, so a
// captured reply with more frames than the unit now sends differs rather than times out.
constexpr int kSettleMs = 100;

std::uint8_t byteAt(const QByteArray& frame, int offset)
{
    return static_cast<std::uint8_t>(frame.at(offset));
}

int contentLength(const QByteArray& frame)
{
    return util::makeU16(byteAt(frame, wire::kLengthOffset), byteAt(frame, wire::kLengthOffset + 1));
}

bool isFrameOf(const QByteArray& frame, Command command, int length)
{
    return frame.size() == wire::kOverheadSize + length &&
           byteAt(frame, wire::kCommandOffset) == toCode(command) && contentLength(frame) == length;
}

// One whole frame (its checksum may be wrong), as a request of the capture should be.
bool isWholeFrame(const QByteArray& bytes)
{
    QByteArray buffer = bytes;
    const ExtractionResult result = FrameExtractor::extract(buffer, FrameExtractor::Incomplete::GiveUp,
                                                            FrameExtractor::BadChecksum::Keep);
    return result.frames.size() == 1 && result.frames.front().raw == bytes;
}

bool isEndFrame(const QByteArray& frame)
{
    return isFrameOf(frame, Command::GetFileRecords, wire::kRecordEndSize) &&
           byteAt(frame, wire::kPrefixSize) == std::uint8_t(wire::RecordMark::End);
}

// Where the clock's seven bytes sit in a reply frame; -1 for a frame without them.
int timeOffset(const QByteArray& frame)
{
    if (isFrameOf(frame, Command::GetTime, RecordLayout::kDateTimeSize))
        return wire::kPrefixSize;
    if (isFrameOf(frame, Command::GetFileRecords, RecordLayout::size()) &&
        byteAt(frame, wire::kPrefixSize) == std::uint8_t(wire::RecordMark::Data))
        return wire::kPrefixSize + RecordLayout::dateTimeOffset();
    return -1;
}

std::uint16_t checksumOf(const QByteArray& frame)
{
    return crc16(reinterpret_cast<const std::uint8_t*>(frame.constData()),
                 static_cast<std::size_t>(frame.size() - wire::kChecksumSize));
}

std::uint16_t receivedChecksum(const QByteArray& frame)
{
    return util::makeU16(byteAt(frame, frame.size() - 2), byteAt(frame, frame.size() - 1));
}

void maskTime(QByteArray& live, const QByteArray& captured)
{
    const int offset = timeOffset(live);
    if (offset < 0 || timeOffset(captured) != offset)
        return;
    const bool checksumWasRight = checksumOf(live) == receivedChecksum(live);
    live.replace(offset, RecordLayout::kDateTimeSize, captured.mid(offset, RecordLayout::kDateTimeSize));
    if (checksumWasRight) {
        const std::uint16_t crc = checksumOf(live);
        live[live.size() - 2] = char(crc >> 8);
        live[live.size() - 1] = char(crc & 0xFF);
    }
}

// A paragraph line of the renderer, "DIGITS    -- LABEL：VALUE", taken apart.
struct RenderedLine
{
    QString digits;
    QString label;
    QString value;
};

RenderedLine takeApart(const QString& line)
{
    static const QString kSeparator = QStringLiteral("    -- ");
    const int at = line.indexOf(kSeparator);
    if (at < 0)
        return {QString(), line, QString()};
    const QString description = line.mid(at + kSeparator.size());
    const int colon = description.indexOf(QChar(0xFF1A));
    if (colon < 0)
        return {line.left(at), description, QString()};
    return {line.left(at), description.left(colon), description.mid(colon + 1)};
}

QString shown(const RenderedLine& line)
{
    if (line.value.isEmpty())
        return line.digits.isEmpty() ? line.label : line.digits;
    return QStringLiteral("%1 (%2)").arg(line.value, line.digits);
}

QStringList renderedLines(const QByteArray& frame)
{
    HexFrameRenderer renderer;
    QStringList lines;
    for (const QString& paragraph :
         renderer.render(ConsoleText::hex(frame), HexFrameRenderer::Direction::Response))
        lines += paragraph.split(QLatin1Char('\n'));
    return lines;
}

// The first difference between two frames of the same place in a reply.
bool frameDifference(const QByteArray& captured, const QByteArray& replayed, ReplayCommand::Difference& out)
{
    if (captured == replayed)
        return false;
    // The header's parts by the names the renderer gives them.
    struct Part
    {
        int offset;
        int size;
        const char* label;
    };
    static const Part kHeader[] = {
        {0, 2, "Head"}, {2, 2, "Addr"}, {wire::kCommandOffset, 1, "命令"}, {wire::kLengthOffset, 2, "长度"}};
    for (const Part& part : kHeader) {
        const QByteArray a = captured.mid(part.offset, part.size);
        const QByteArray b = replayed.mid(part.offset, part.size);
        if (a != b) {
            out.field = QString::fromUtf8(part.label);
            out.captured = ConsoleText::hex(a);
            out.replayed = ConsoleText::hex(b);
            return true;
        }
    }
    const QStringList a = renderedLines(captured);
    const QStringList b = renderedLines(replayed);
    // The header line agrees (checked above); the checksum line is the last one.
    for (int i = 1; i < qMax(a.size(), b.size()); ++i) {
        const RenderedLine left = i < a.size() ? takeApart(a.at(i)) : RenderedLine{};
        const RenderedLine right = i < b.size() ? takeApart(b.at(i)) : RenderedLine{};
        if (i < a.size() && i < b.size() && a.at(i) == b.at(i))
            continue;
        out.field = left.label.isEmpty() ? right.label : left.label;
        out.captured = shown(left);
        out.replayed = shown(right);
        return true;
    }
    // Bytes the renderer does not show (a bolt block's second standard, say).
    for (int i = 0; i < qMax(captured.size(), replayed.size()); ++i) {
        if (i >= captured.size() || i >= replayed.size() || captured.at(i) != replayed.at(i)) {
            out.field = QStringLiteral("byte %1").arg(i);
            out.captured = ConsoleText::hex(captured.mid(i, 1));
            out.replayed = ConsoleText::hex(replayed.mid(i, 1));
            return true;
        }
    }
    return false;
}

} // namespace

ReplayCommand::ReplayCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}

std::vector<QByteArray> ReplayCommand::splitFrames(QByteArray& buffer)
{
    std::vector<QByteArray> frames;
    int offset = 0;
    for (;;) {
        const int header = buffer.indexOf(QByteArray::fromHex("5AA5"), offset);
        if (header < 0) {
            // Keep a last 0x5A: it may be the start of a header.
            offset = buffer.endsWith(char(wire::kHeaderHigh)) ? buffer.size() - 1 : buffer.size();
            break;
        }
        offset = header;
        if (buffer.size() - offset < wire::kPrefixSize)
            break;
        const int length = util::makeU16(byteAt(buffer, offset + wire::kLengthOffset),
                                         byteAt(buffer, offset + wire::kLengthOffset + 1));
        if (length > wire::kMaxReceiveLength) {
            offset += 2;
            continue;
        }
        if (buffer.size() - offset < wire::kOverheadSize + length)
            break;
        frames.push_back(buffer.mid(offset, wire::kOverheadSize + length));
        offset += wire::kOverheadSize + length;
    }
    buffer.remove(0, offset);
    return frames;
}

bool ReplayCommand::compare(const std::vector<QByteArray>& captured, std::vector<QByteArray> replayed,
                            Difference& difference)
{
    const std::size_t common = std::min(captured.size(), replayed.size());
    for (std::size_t i = 0; i < common; ++i) {
        maskTime(replayed[i], captured[i]);
        if (frameDifference(captured[i], replayed[i], difference)) {
            difference.frame = int(i) + 1;
            return true;
        }
    }
    if (captured.size() == replayed.size())
        return false;
    difference.frame = int(common) + 1;
    difference.field = QStringLiteral("frames");
    difference.captured = QString::number(captured.size());
    difference.replayed = QString::number(replayed.size());
    return true;
}

QString ReplayCommand::usage() const
{
    return QStringLiteral("  replay [--report FILE.jsonl] [--timeout MS] [--baud N] [--data-bits TEXT]\n"
                          "         [--stop-bits TEXT] [--parity TEXT] FILE.pcap PORT\n"
                          "      send the requests of a capture to PORT in order and compare each reply\n"
                          "      with the captured one (clock and record dates masked); one line per\n"
                          "      request\n") +
           PcPort::usage() +
           QStringLiteral("  --report FILE.jsonl write one JSON line per request to FILE.jsonl\n");
}

bool ReplayCommand::parseArgs(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption report(QStringLiteral("report"), QString(), QStringLiteral("FILE"));
    m_port.addOptions(parser);
    parser.addOption(report);
    if (!parser.parse(QStringList{QStringLiteral("replay")} + args)) {
        ConsoleText::usageError(m_err, "replay", parser.errorText());
        return false;
    }
    if (!m_port.readOptions(parser, "replay", m_err))
        return false;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        ConsoleText::usageError(m_err, "replay", QStringLiteral("expected FILE.pcap PORT"));
        return false;
    }
    m_capturePath = positional.at(0);
    m_portName = positional.at(1);
    m_reportPath = parser.value(report);
    return true;
}

bool ReplayCommand::loadExchanges()
{
    CaptureReader reader;
    if (!reader.read(m_capturePath)) {
        ConsoleText::write(
            m_err,
            QStringLiteral("varnel-pc replay: cannot read %1: %2\n").arg(m_capturePath, reader.error()));
        return false;
    }
    // Each request owns the unit's bytes up to the next request; discards take no part.
    QByteArray reply;
    const auto finish = [&] {
        if (!m_exchanges.empty()) {
            m_exchanges.back().reply = splitFrames(reply);
            reply.clear();
        }
    };
    for (const CapturePacket& packet : reader.packets()) {
        if (packet.direction == CapturePacket::Direction::PcToUnit) {
            finish();
            m_exchanges.push_back({packet.bytes, {}});
        } else if (packet.direction == CapturePacket::Direction::UnitToPc && !m_exchanges.empty()) {
            reply += packet.bytes;
        }
    }
    finish();
    if (m_exchanges.empty()) {
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc replay: %1 holds no request\n").arg(m_capturePath));
        return false;
    }
    return true;
}

int ReplayCommand::run(const QStringList& args)
{
    if (!parseArgs(args))
        return UsageError;
    if (!loadExchanges())
        return Failure;
    if (!m_reportPath.isEmpty()) {
        m_report.setFileName(m_reportPath);
        if (!m_report.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            ConsoleText::write(m_err, QStringLiteral("varnel-pc replay: cannot write %1: %2\n")
                                          .arg(m_reportPath, m_report.errorString()));
            return Failure;
        }
    }
    QSerialPort port;
    if (!m_port.open(port, m_portName, "replay", m_err))
        return Failure;

    int differing = 0;
    int timedOut = 0;
    for (std::size_t i = 0; i < m_exchanges.size(); ++i) {
        const Exchange& exchange = m_exchanges[i];
        const std::uint8_t code = exchange.request.size() > wire::kCommandOffset
                                      ? byteAt(exchange.request, wire::kCommandOffset)
                                      : 0;
        const bool isFrame = isWholeFrame(exchange.request);
        // Bytes the PC program sent that are no frame still go out; they are named as what they are.
        const QString title =
            isFrame ? QStringLiteral("#%1 %2:").arg(i + 1).arg(commandGloss(code))
                    : QStringLiteral("#%1 not a frame (%2 bytes: %3):")
                          .arg(i + 1)
                          .arg(exchange.request.size())
                          .arg(ConsoleText::hex(exchange.request.left(32)) +
                               (exchange.request.size() > 32 ? QStringLiteral("…") : QString()));
        std::vector<QByteArray> frames;
        bool late = false;
        if (!collect(port, exchange, frames, late)) {
            ConsoleText::write(
                m_err, QStringLiteral("varnel-pc replay: %1: %2\n").arg(m_portName, port.errorString()));
            return Failure;
        }
        Difference difference;
        if (late) {
            ++timedOut;
            ConsoleText::write(m_out, QStringLiteral("%1 time-out: %2 of %3 frames within %4 ms\n")
                                          .arg(title)
                                          .arg(frames.size())
                                          .arg(exchange.reply.size())
                                          .arg(m_port.timeoutMs()));
            writeReport(int(i) + 1, exchange, QStringLiteral("timeout"), nullptr, frames.size());
        } else if (compare(exchange.reply, frames, difference)) {
            ++differing;
            ConsoleText::write(m_out,
                               QStringLiteral("%1 differs in frame %2 at %3: captured %4, replayed %5\n")
                                   .arg(title)
                                   .arg(difference.frame)
                                   .arg(difference.field, difference.captured, difference.replayed));
            writeReport(int(i) + 1, exchange, QStringLiteral("differs"), &difference, frames.size());
        } else if (!isFrame && frames.empty()) {
            ConsoleText::write(m_out, QStringLiteral("%1 sent, no reply, as captured\n").arg(title));
            writeReport(int(i) + 1, exchange, QStringLiteral("match"), nullptr, frames.size());
        } else {
            ConsoleText::write(m_out, QStringLiteral("%1 match (%2 frames)\n").arg(title).arg(frames.size()));
            writeReport(int(i) + 1, exchange, QStringLiteral("match"), nullptr, frames.size());
        }
        m_out.flush();
    }
    if (m_report.isOpen()) {
        m_report.close();
        if (m_report.error() != QFileDevice::NoError) {
            ConsoleText::write(m_err, QStringLiteral("varnel-pc replay: cannot write %1: %2\n")
                                          .arg(m_reportPath, m_report.errorString()));
            return Failure;
        }
    }
    ConsoleText::write(m_out, QStringLiteral("replay: %1 requests, %2 match, %3 differ, %4 timed out\n")
                                  .arg(m_exchanges.size())
                                  .arg(int(m_exchanges.size()) - differing - timedOut)
                                  .arg(differing)
                                  .arg(timedOut));
    if (timedOut)
        return TimedOut;
    return differing ? int(Differs) : int(Success);
}

bool ReplayCommand::collect(QSerialPort& port, const Exchange& exchange, std::vector<QByteArray>& frames,
                            bool& timedOut)
{
    const std::uint8_t code =
        exchange.request.size() > wire::kCommandOffset ? byteAt(exchange.request, wire::kCommandOffset) : 0;
    const bool upload = code == toCode(Command::GetFileRecords) && !exchange.reply.empty();
    const std::size_t expected = exchange.reply.size();
    // Left over from the last reply: not part of this one.
    port.readAll();
    QByteArray buffer;
    QEventLoop loop;
    QTimer silence;
    silence.setSingleShot(true);
    bool failed = false;
    const auto complete = [&] {
        if (expected == 0)
            return !frames.empty(); // anything at all already differs
        if (upload)
            return !frames.empty() && isEndFrame(frames.back());
        return frames.size() >= expected;
    };
    QTimer settle;
    settle.setSingleShot(true);
    QObject::connect(&silence, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&settle, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&port, &QSerialPort::readyRead, &loop, [&] {
        buffer += port.readAll();
        const std::vector<QByteArray> got = splitFrames(buffer);
        frames.insert(frames.end(), got.begin(), got.end());
        if (complete())
            loop.quit();
        else if (!upload && !frames.empty())
            settle.start(std::min(kSettleMs, m_port.timeoutMs())); // answered: fewer frames is a difference
        else if (!got.empty())
            silence.start(m_port.timeoutMs()); // per frame: an upload may run long
    });
    QObject::connect(&port, &QSerialPort::errorOccurred, &loop, [&](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
            error == QSerialPort::WriteError) {
            failed = true;
            loop.quit();
        }
    });
    port.write(exchange.request);
    silence.start(m_port.timeoutMs());
    loop.exec();
    QObject::disconnect(&port, nullptr, &loop, nullptr);
    // No reply was captured: silence until the time-out is the right answer. A reply that came
    // with fewer frames than the captured one is compared, not timed out.
    timedOut = !failed && expected > 0 && !complete() && (upload || frames.empty());
    return !failed;
}

void ReplayCommand::writeReport(int index, const Exchange& exchange, const QString& result,
                                const Difference* difference, std::size_t replayedFrames)
{
    if (!m_report.isOpen())
        return;
    const std::uint8_t code =
        exchange.request.size() > wire::kCommandOffset ? byteAt(exchange.request, wire::kCommandOffset) : 0;
    QJsonObject object{{QStringLiteral("request"), index},
                       {QStringLiteral("command"), int(code)},
                       {QStringLiteral("name"), commandGloss(code)},
                       {QStringLiteral("result"), result},
                       {QStringLiteral("captured_frames"), int(exchange.reply.size())},
                       {QStringLiteral("replayed_frames"), int(replayedFrames)}};
    if (difference) {
        object.insert(QStringLiteral("frame"), difference->frame);
        object.insert(QStringLiteral("field"), difference->field);
        object.insert(QStringLiteral("captured"), difference->captured);
        object.insert(QStringLiteral("replayed"), difference->replayed);
    }
    m_report.write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

#include "tools/varnel-pc/ReplayCommand.h"

#include "capture/CaptureReader.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/ContentCodec.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"
#include "render/HexContentText.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/PcPort.h"

#include <QCommandLineParser>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <algorithm>
#include <optional>
#include <ostream>

namespace {

std::uint8_t byteAt(const QByteArray& frame, int offset)
{
    return static_cast<std::uint8_t>(frame.at(offset));
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
    const std::optional<FrameView> view = FrameView::of(frame);
    return view && view->length() == wire::kRecordEndSize && view->recordMark() == wire::RecordMark::End;
}

// Where the clock's seven bytes sit in a reply frame; -1 for a frame without them.
int timeOffset(const QByteArray& frame)
{
    const std::optional<FrameView> view = FrameView::of(frame);
    if (!view)
        return -1;
    if (view->command() == toCode(Command::GetTime) && view->length() == RecordLayout::kDateTimeSize)
        return wire::kPrefixSize;
    if (view->recordMark() == wire::RecordMark::Data && view->length() == RecordLayout::size())
        return wire::kPrefixSize + RecordLayout::dateTimeOffset();
    return -1;
}

void maskTime(QByteArray& live, const QByteArray& captured)
{
    const int offset = timeOffset(live);
    if (offset < 0 || timeOffset(captured) != offset)
        return;
    const bool checksumWasRight = FrameView::of(live)->checksumOk();
    live.replace(offset, RecordLayout::kDateTimeSize, captured.mid(offset, RecordLayout::kDateTimeSize));
    if (checksumWasRight)
        FrameView::patchChecksum(live);
}

// A header field or checksum in wire order, as the frame's hex shows it.
QString hexOf(std::uint16_t value, int size)
{
    return QStringLiteral("%1").arg(value, 2 * size, 16, QLatin1Char('0')).toUpper();
}

bool headerDifference(const FrameView& captured, const FrameView& replayed, ReplayCommand::Difference& out)
{
    // By the names the renderer gives them.
    struct Part
    {
        const char* label;
        std::uint16_t captured;
        std::uint16_t replayed;
        int size;
    };
    const Part parts[] = {{"Head", captured.header(), replayed.header(), 2},
                          {"Addr", captured.address(), replayed.address(), 2},
                          {"命令", captured.command(), replayed.command(), 1},
                          {"长度", captured.length(), replayed.length(), 2}};
    for (const Part& part : parts) {
        if (part.captured != part.replayed) {
            out.field = QString::fromUtf8(part.label);
            out.captured = hexOf(part.captured, part.size);
            out.replayed = hexOf(part.replayed, part.size);
            return true;
        }
    }
    return false;
}

// A field by its label, within its group if it has one; one without a label by where it starts.
QString fieldName(const ContentField& field)
{
    const QString label =
        field.label.isEmpty() ? QStringLiteral("byte %1").arg(wire::kPrefixSize + field.offset) : field.label;
    return field.group.isEmpty() ? label : field.group + QLatin1Char(' ') + label;
}

// "VALUE (DIGITS)" as the renderer pairs them; the digits alone where it shows no value.
QString shownField(const QByteArray& content, const ContentField& field)
{
    const QString digits = hexcontent::fieldDigits(ConsoleText::hex(content), field);
    if (field.value.isEmpty() || field.encoding == ContentField::Encoding::Digits)
        return digits;
    return QStringLiteral("%1 (%2)").arg(field.value, digits);
}

bool sameField(const ContentField& a, const QByteArray& aContent, const ContentField& b,
               const QByteArray& bContent)
{
    return a.label == b.label && a.group == b.group && a.offset == b.offset && a.size == b.size &&
           aContent.mid(a.offset, a.size) == bContent.mid(b.offset, b.size);
}

// The content's fields pairwise, in wire order. A field one side lacks (a mark that changed
// the layout, a content read only in part) is shown on that side by its bytes.
bool fieldDifference(const FrameView& captured, const FrameView& replayed, ReplayCommand::Difference& out)
{
    const QByteArray a = captured.content();
    const QByteArray b = replayed.content();
    const std::optional<DecodedContent> left =
        ContentCodec::decode(captured.command(), FrameDirection::Response, a);
    const std::optional<DecodedContent> right =
        ContentCodec::decode(replayed.command(), FrameDirection::Response, b);
    if (!left || !right)
        return false;
    const std::size_t count = std::max(left->fields.size(), right->fields.size());
    for (std::size_t i = 0; i < count; ++i) {
        const ContentField* l = i < left->fields.size() ? &left->fields[i] : nullptr;
        const ContentField* r = i < right->fields.size() ? &right->fields[i] : nullptr;
        if (l && r && sameField(*l, a, *r, b))
            continue;
        const ContentField& named = l ? *l : *r;
        out.field = fieldName(named);
        out.captured = l ? shownField(a, *l) : ConsoleText::hex(a.mid(named.offset, named.size));
        out.replayed = r ? shownField(b, *r) : ConsoleText::hex(b.mid(named.offset, named.size));
        return true;
    }
    return false;
}

// The first difference between two frames of the same place in a reply.
bool frameDifference(const QByteArray& captured, const QByteArray& replayed, ReplayCommand::Difference& out)
{
    if (captured == replayed)
        return false;
    const std::optional<FrameView> left = FrameView::of(captured);
    const std::optional<FrameView> right = FrameView::of(replayed);
    if (left && right && (headerDifference(*left, *right, out) || fieldDifference(*left, *right, out)))
        return true;
    // Bytes no field covers (a bolt block's second standard, the rest of a content of the wrong
    // size) before the checksum, which only follows them.
    const int checksumAt = left && right ? captured.size() - wire::kChecksumSize : -1;
    for (int i = 0; i < qMax(captured.size(), replayed.size()); ++i) {
        if (i == checksumAt) {
            if (left->receivedChecksum() == right->receivedChecksum())
                return false;
            out.field = QStringLiteral("CRC");
            out.captured = hexOf(left->receivedChecksum(), wire::kChecksumSize);
            out.replayed = hexOf(right->receivedChecksum(), wire::kChecksumSize);
            return true;
        }
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
            m_exchanges.back().reply = FrameExtractor::cutByLength(reply);
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
    const std::unique_ptr<QIODevice> line = m_port.open(m_portName, "replay", m_err);
    if (!line)
        return Failure;
    QIODevice& port = *line;

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

bool ReplayCommand::collect(QIODevice& port, const Exchange& exchange, std::vector<QByteArray>& frames,
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
    QObject::connect(&port, &QIODevice::readyRead, &loop, [&] {
        buffer += port.readAll();
        const std::vector<QByteArray> got = FrameExtractor::cutByLength(buffer);
        frames.insert(frames.end(), got.begin(), got.end());
        if (complete())
            loop.quit();
        else if (!upload && !frames.empty())
            settle.start(std::min(PcPort::kSettleMs, m_port.timeoutMs())); // answered: fewer frames is a difference
        else if (!got.empty())
            silence.start(m_port.timeoutMs()); // per frame: an upload may run long
    });
    PcPort::watchFailure(port, &loop, true, [&] {
        failed = true;
        loop.quit();
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

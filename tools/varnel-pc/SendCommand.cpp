#include "tools/varnel-pc/SendCommand.h"

#include "data/StringData.h"
#include "device/Frame.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameExtractor.h"
#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/PcPort.h"
#include "tools/varnel-pc/PositiveOption.h"
#include "util/Conversions.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <ostream>
#include <stdexcept>
#include <vector>

#include <unistd.h>

namespace {

constexpr std::uint8_t kStartFrameMark = static_cast<std::uint8_t>(wire::RecordMark::Start);
constexpr std::uint8_t kDataFrameMark = static_cast<std::uint8_t>(wire::RecordMark::Data);
constexpr std::uint8_t kEndFrameMark = static_cast<std::uint8_t>(wire::RecordMark::End);
// The emulator's device number is longer than the renderer's field for it; both are kept.
constexpr int kRenderedDeviceNumberBytes = wire::kMaxDeviceNumberSize;

// A frame longer than this is shown cut in a message, with its length.
constexpr int kWholeFrameBytes = 24;
constexpr int kCutFrameHeadBytes = 16;

QString codeText(std::uint8_t code)
{
    const QString gloss = commandGloss(code);
    const QString hex =
        QStringLiteral("0x%1").arg(QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    return gloss.isEmpty() ? hex : QStringLiteral("%1 (%2)").arg(hex, gloss);
}

QString hex16(std::uint16_t value)
{
    return QString::number(value, 16).toUpper().rightJustified(4, QLatin1Char('0'));
}

std::uint16_t u16At(const QByteArray& bytes, int offset)
{
    return util::makeU16(static_cast<std::uint8_t>(bytes.at(offset)),
                         static_cast<std::uint8_t>(bytes.at(offset + 1)));
}

// "3", "3-5": the sequence numbers from first to last.
QString span(std::uint32_t first, std::uint32_t last)
{
    return first == last ? QString::number(first) : QStringLiteral("%1-%2").arg(first).arg(last);
}

int editDistance(const QString& a, const QString& b)
{
    std::vector<int> row(std::size_t(b.size()) + 1);
    for (std::size_t j = 0; j < row.size(); ++j)
        row[j] = int(j);
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[std::size_t(j)];
            row[std::size_t(j)] = std::min(
                {above + 1, row[std::size_t(j) - 1] + 1, diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1)});
            diagonal = above;
        }
    }
    return row.back();
}

// The command names a mistyped one is nearest to: those a slip of at most two letters away
// (the nearest only), else those it is the start of; at most three.
QStringList nearNames(const QString& typed)
{
    const QString text = typed.toLower();
    int best = 2; // the farthest slip taken
    QStringList nearest;
    QStringList starting;
    for (int code = toCode(kFirstCommand); code <= toCode(kLastCommand); ++code) {
        const QString name = commandGloss(std::uint8_t(code));
        const int distance = editDistance(text, name);
        if (distance < best) {
            best = distance;
            nearest.clear();
        }
        if (distance == best)
            nearest << name;
        if (text.size() >= 3 && name.startsWith(text))
            starting << name;
    }
    return (nearest.isEmpty() ? starting : nearest).mid(0, 3);
}

// The argument that the option parser refused, for a message that names it.
QString badOption(const QStringList& args)
{
    const QStringList withValue{QStringLiteral("--timeout"),   QStringLiteral("--baud"),
                                QStringLiteral("--data-bits"), QStringLiteral("--stop-bits"),
                                QStringLiteral("--parity"),    QStringLiteral("--records-csv")};
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--"))
            break;
        if (withValue.contains(arg)) {
            if (i + 1 == args.size())
                return arg;
            ++i;
        } else if (arg.startsWith(QLatin1Char('-')) && arg != QLatin1String("--allow-noise") &&
                   !withValue.contains(arg.section(QLatin1Char('='), 0, 0))) {
            return arg;
        }
    }
    return args.last();
}

} // namespace

SendCommand::SendCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err), m_progress(err) {}

QString SendCommand::usage() const
{
    return QStringLiteral("  send [--timeout MS] [--baud N] [--data-bits TEXT] [--stop-bits TEXT]\n"
                          "       [--parity TEXT] [--records-csv FILE] [--allow-noise] PORT CODE [HEX]\n"
                          "      send one request (CODE 1-21 or a name such as get-time, see varnel-pc\n"
                          "      commands) with HEX as its content and print every frame that arrives,\n"
                          "      as received, as hex and rendered; bytes that are no frame as '? HEX';\n"
                          "      a frame with another address or command, a bad checksum or bytes that\n"
                          "      are no frame fail it\n") +
           PcPort::usage() +
           QStringLiteral("  --records-csv FILE write the records of an upload to FILE as CSV\n"
                          "  --allow-noise      bytes that are no frame are shown but do not fail it\n");
}

std::uint8_t SendCommand::parseCode(const QString& text)
{
    bool ok = false;
    const uint number = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                            ? text.mid(2).toUInt(&ok, 16)
                            : text.toUInt(&ok, 10);
    if (ok)
        return number <= 0xFF && isCommand(static_cast<std::uint8_t>(number))
                   ? static_cast<std::uint8_t>(number)
                   : 0;
    const std::optional<Command> command = commandFromGloss(text.toLower());
    return command ? toCode(*command) : 0;
}

bool SendCommand::parseArgs(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption csv(QStringLiteral("records-csv"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption allowNoise(QStringLiteral("allow-noise"));
    m_port.addOptions(parser);
    parser.addOptions({csv, allowNoise});
    if (!parser.parse(QStringList{QStringLiteral("send")} + args)) {
        ConsoleText::usageError(m_err, "send",
                                QStringLiteral("unknown or incomplete option '%1'").arg(badOption(args)));
        return false;
    }
    if (!m_port.readOptions(parser, "send", m_err))
        return false;
    if (parser.isSet(csv))
        m_csvPath = parser.value(csv);
    m_allowNoise = parser.isSet(allowNoise);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() < 2 || positional.size() > 3) {
        ConsoleText::usageError(m_err, "send", QStringLiteral("expected PORT CODE [HEX]"));
        return false;
    }
    m_portName = positional.at(0);
    m_code = parseCode(positional.at(1));
    if (m_code == 0) {
        const QStringList near = nearNames(positional.at(1));
        const QString hint = near.isEmpty()
                                 ? QStringLiteral("1-21 or a name such as get-time")
                                 : QStringLiteral("did you mean %1?").arg(near.join(QStringLiteral(" or ")));
        ConsoleText::usageError(m_err, "send",
                                QStringLiteral("unknown command '%1' (%2)").arg(positional.at(1), hint));
        return false;
    }
    if (positional.size() == 3) {
        // Operator text: blanks (or colons, dashes) between digit pairs and lower case are fine here.
        QString hex = HexFrameRenderer::withoutByteSeparators(positional.at(2)).toUpper();
        hex.remove(QLatin1Char(' '));
        const auto notHex = std::find_if(hex.cbegin(), hex.cend(), [](QChar c) {
            return !(c >= QLatin1Char('0') && c <= QLatin1Char('9')) &&
                   !(c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        });
        if (notHex != hex.cend()) {
            ConsoleText::usageError(
                m_err, "send",
                QStringLiteral("HEX '%1' is not hex: '%2' is not a hex digit (the content "
                               "goes as digit pairs, such as B0E2CAD6)")
                    .arg(positional.at(2), QString(*notHex)));
            return false;
        }
        try {
            m_content = QByteArray::fromStdString(util::hexToBytes(hex.toStdString()));
        } catch (const std::invalid_argument& e) {
            ConsoleText::usageError(m_err, "send",
                                    QStringLiteral("HEX '%1': %2").arg(positional.at(2), e.what()));
            return false;
        }
    }
    if (m_content.size() > wire::kMaxReceiveLength) {
        ConsoleText::usageError(m_err, "send",
                                QStringLiteral("HEX holds more than %1 bytes").arg(wire::kMaxReceiveLength));
        return false;
    }
    return true;
}

int SendCommand::run(const QStringList& args)
{
    if (!parseArgs(args))
        return UsageError;
    if (!m_csvPath.isEmpty() && !m_csv.open(m_csvPath)) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc send: cannot write %1: %2\n").arg(m_csvPath, m_csv.error()));
        return Failure;
    }
    // A redrawn line would only clutter a log file or a pipe.
    m_progress.setEnabled(m_code == toCode(Command::GetFileRecords) && ::isatty(STDERR_FILENO));
    m_outIsTerminal = ::isatty(STDOUT_FILENO);
    const std::unique_ptr<QIODevice> line = m_port.open(m_portName, "send", m_err);
    if (!line)
        return Failure;
    QIODevice& port = *line;
    return exchange(port, buildRequest());
}

QByteArray SendCommand::buildRequest() const
{
    // The content goes out exactly as given, whatever class the command's content has.
    Frame frame(m_code, false);
    frame.setAddress(wire::kAddress);
    frame.setData(std::make_unique<StringData>(m_content.toStdString()));
    frame.updateLength();
    return frame.pack();
}

int SendCommand::exchange(QIODevice& port, const QByteArray& request)
{
    print('>', request, HexFrameRenderer::Direction::Request);
    port.write(request);

    const int timeoutMs = m_port.timeoutMs();
    QByteArray buffer;
    QEventLoop loop;
    QTimer silence;
    silence.setSingleShot(true);
    QTimer settle;
    settle.setSingleShot(true);
    bool failed = false;
    // Frames and the bytes between them, in line order.
    const auto show = [&](const ExtractionResult& result) {
        auto stray = result.discarded.cbegin();
        // A failed CSV write stops at once, also amid frames that came in one read.
        for (std::size_t i = 0; i <= result.frames.size() && !m_csvFailed; ++i) {
            for (; stray != result.discarded.cend() && stray->beforeFrame == i; ++stray)
                printStray(stray->bytes);
            if (i < result.frames.size() && handleFrame(result.frames[i]) && !m_complete) {
                m_complete = true;
                silence.start(timeoutMs); // the settling is bounded by one more time-out
            }
        }
    };
    QObject::connect(&silence, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&settle, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&port, &QIODevice::readyRead, &loop, [&] {
        buffer.append(port.readAll());
        const bool wasComplete = m_complete;
        const ExtractionResult result = FrameExtractor::extract(buffer, FrameExtractor::Incomplete::Wait,
                                                                FrameExtractor::BadChecksum::Keep);
        show(result);
        if (m_csvFailed)
            loop.quit();
        else if (m_complete)
            settle.start(std::min(PcPort::kSettleMs, timeoutMs));
        else if (!wasComplete && !result.frames.empty())
            silence.start(timeoutMs); // an upload may run long: the time-out is per frame
    });
    PcPort::watchFailure(port, &loop, false, [&] {
        failed = true;
        loop.quit();
    });
    silence.start(timeoutMs);
    loop.exec();
    QObject::disconnect(&port, nullptr, &loop, nullptr);
    if (!m_csvFailed) {
        // A frame cut short by the end is shown as the bytes it is.
        show(FrameExtractor::extract(buffer, FrameExtractor::Incomplete::GiveUp,
                                     FrameExtractor::BadChecksum::Keep));
        if (!buffer.isEmpty())
            printStray(buffer);
    }
    m_progress.finish();

    if (failed) {
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc send: %1: %2\n").arg(m_portName, port.errorString()));
        return Failure;
    }
    if (!m_complete) {
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc send: no complete reply within %1 ms\n").arg(timeoutMs));
        return TimedOut;
    }
    return finish();
}

bool SendCommand::handleFrame(const ReceivedFrame& frame)
{
    print('<', frame.raw, HexFrameRenderer::Direction::Response);
    const QByteArray& content = frame.content;
    if (frame.command == toCode(Command::GetDeviceNumber) && content.size() > kRenderedDeviceNumberBytes &&
        !m_renderer.isOk()) {
        ConsoleText::write(
            m_out, QStringLiteral("    note: device number is %1 bytes; the renderer shows at most %2\n")
                       .arg(content.size())
                       .arg(kRenderedDeviceNumberBytes));
        m_out.flush();
    }
    checkFrame(frame);
    if (m_complete)
        return true;
    if (frame.command != m_code)
        return !m_replyStarted; // the reply, wrong; within an upload, a stray frame
    m_replyStarted = true;
    if (m_code != toCode(Command::GetFileRecords))
        return true;
    const bool isEnd =
        content.size() == wire::kRecordEndSize && static_cast<std::uint8_t>(content.at(0)) == kEndFrameMark;
    if (frame.checksumOk)
        handleRecordFrame(content);
    return m_csvFailed || isEnd;
}

bool SendCommand::checkFrame(const ReceivedFrame& frame)
{
    QStringList problems;
    if (m_complete)
        problems << QStringLiteral("arrived after the complete reply");
    const std::uint16_t address = u16At(frame.raw, 2);
    if (address != wire::kAddress)
        problems << QStringLiteral("address %1, expected %2").arg(hex16(address), hex16(wire::kAddress));
    if (frame.command != m_code)
        problems << QStringLiteral("command %1, expected %2").arg(codeText(frame.command), codeText(m_code));
    if (!frame.checksumOk)
        problems << QStringLiteral("checksum error: received %1, computed %2")
                        .arg(hex16(u16At(frame.raw, frame.raw.size() - wire::kChecksumSize)),
                             hex16(frame.computedCrc));
    if (problems.isEmpty())
        return true;
    flag(frame.raw, problems.join(QStringLiteral("; ")));
    return false;
}

void SendCommand::handleRecordFrame(const QByteArray& content)
{
    const std::uint8_t mark = content.isEmpty() ? kEndFrameMark : static_cast<std::uint8_t>(content.at(0));
    if (mark == kStartFrameMark && content.size() == wire::kRecordStartSize) {
        m_announced = util::peekU32(content.mid(1).toStdString());
        m_progress.setAnnounced(m_announced);
    } else if (mark == kDataFrameMark) {
        if (content.size() == RecordLayout::size()) {
            const std::uint32_t sequence = util::peekU32(content.mid(1).toStdString());
            if (!m_sequences.insert(sequence).second) {
                m_flagged = true;
                ConsoleText::write(
                    m_err,
                    QStringLiteral("varnel-pc send: record %1 received again; the first copy is kept\n")
                        .arg(sequence));
                return;
            }
            m_progress.setReceived(++m_records); // a broken record is no record
        }
    }
    if (!m_csvPath.isEmpty() && !m_csv.addFrameContent(content))
        m_csvFailed = true;
}

int SendCommand::finish()
{
    if (!m_csvPath.isEmpty() && !m_csv.close()) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc send: cannot write %1: %2\n").arg(m_csvPath, m_csv.error()));
        return Failure;
    }
    if (m_noiseBytes > 0 && !m_allowNoise) {
        m_flagged = true;
        ConsoleText::write(m_err, QStringLiteral("varnel-pc send: %1 bytes that are no frame arrived "
                                                 "(--allow-noise lets them pass)\n")
                                      .arg(m_noiseBytes));
    }
    if (m_code != toCode(Command::GetFileRecords) || !m_replyStarted)
        return m_flagged ? Failure : Success;
    // Rows when written to a file, else the records that came.
    const QString what = m_csvPath.isEmpty() ? QStringLiteral("upload") : m_csvPath;
    const long long taken = m_csvPath.isEmpty() ? m_records : m_csv.rows();
    if (m_announced < 0) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc send: %1: no start frame arrived, %2 %3 not checked\n")
                       .arg(what)
                       .arg(taken)
                       .arg(m_csvPath.isEmpty() ? QStringLiteral("records") : QStringLiteral("rows")));
        return Failure;
    }
    bool incomplete = false;
    if (taken < m_announced) {
        incomplete = true;
        ConsoleText::write(m_err, QStringLiteral("varnel-pc send: %1: %2 of %3 announced records missing\n")
                                      .arg(what)
                                      .arg(m_announced - taken)
                                      .arg(m_announced));
        // Where they are missing, as far as the sequence numbers tell.
        QStringList gaps;
        std::uint32_t previous = 0;
        bool first = true;
        for (std::uint32_t sequence : m_sequences) {
            if (!first && sequence > previous + 1)
                gaps << span(previous + 1, sequence - 1);
            previous = sequence;
            first = false;
        }
        if (!gaps.isEmpty())
            ConsoleText::write(m_err, QStringLiteral("varnel-pc send: %1: no record %2\n")
                                          .arg(what, gaps.join(QStringLiteral(", "))));
    } else if (taken > m_announced) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc send: %1: %2 records, %3 announced\n")
                                      .arg(what)
                                      .arg(taken)
                                      .arg(m_announced));
        incomplete = true;
    }
    return m_flagged || incomplete ? Failure : Success;
}

void SendCommand::flag(const QByteArray& frame, const QString& problem)
{
    m_flagged = true;
    // A record frame runs to 119 bytes: its start and its checksum say which one it is.
    const QString shown = frame.size() <= kWholeFrameBytes
                              ? ConsoleText::hex(frame)
                              : QStringLiteral("%1...%2 (%3 bytes)")
                                    .arg(ConsoleText::hex(frame.left(kCutFrameHeadBytes)),
                                         ConsoleText::hex(frame.right(wire::kChecksumSize)))
                                    .arg(frame.size());
    ConsoleText::write(m_err, QStringLiteral("varnel-pc send: frame %1: %2\n").arg(shown, problem));
}

void SendCommand::print(char direction, const QByteArray& frame, HexFrameRenderer::Direction renderAs)
{
    if (m_outIsTerminal)
        m_progress.clear(); // frame lines on the same terminal would otherwise run on from it
    const QString hex = ConsoleText::hex(frame);
    m_out << direction << ' ';
    ConsoleText::write(m_out, hex);
    m_out << '\n';
    for (const QString& paragraph : m_renderer.render(hex, renderAs)) {
        for (const QString& line : paragraph.split(QLatin1Char('\n'))) {
            ConsoleText::write(m_out, QStringLiteral("    ") + line);
            m_out << '\n';
        }
    }
    m_out.flush();
}

void SendCommand::printStray(const QByteArray& bytes)
{
    if (m_outIsTerminal)
        m_progress.clear();
    m_noiseBytes += bytes.size();
    ConsoleText::write(m_out, QStringLiteral("? %1 (not a frame)\n").arg(ConsoleText::hex(bytes)));
    m_out.flush();
}

#include "tools/varnel-pc/SendCommand.h"

#include "data/StringData.h"
#include "protocol/CommandCatalogue.h"
#include "device/Frame.h"
#include "protocol/FrameExtractor.h"
#include "protocol/WireFormat.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/PcPort.h"
#include "tools/varnel-pc/PositiveOption.h"
#include "util/Conversions.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <ostream>
#include <stdexcept>

#include <unistd.h>

namespace {

constexpr std::uint8_t kStartFrameMark = static_cast<std::uint8_t>(wire::RecordMark::Start);
constexpr std::uint8_t kDataFrameMark = static_cast<std::uint8_t>(wire::RecordMark::Data);
constexpr std::uint8_t kEndFrameMark = static_cast<std::uint8_t>(wire::RecordMark::End);
// The emulator's device number is longer than the renderer's field for it; both are kept.
constexpr int kRenderedDeviceNumberBytes = wire::kMaxDeviceNumberSize;

// The argument that the option parser refused, for a message that names it.
QString badOption(const QStringList& args)
{
    const QStringList withValue{QStringLiteral("--timeout"), QStringLiteral("--baud"),
                                QStringLiteral("--records-csv")};
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--"))
            break;
        if (withValue.contains(arg)) {
            if (i + 1 == args.size())
                return arg;
            ++i;
        } else if (arg.startsWith(QLatin1Char('-')) &&
                   !withValue.contains(arg.section(QLatin1Char('='), 0, 0))) {
            return arg;
        }
    }
    return args.last();
}

} // namespace

SendCommand::SendCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err), m_progress(err) {}

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
    const std::optional<Command> command = commandFromGloss(text);
    return command ? toCode(*command) : 0;
}

bool SendCommand::parseArgs(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"));
    const QCommandLineOption baud(QStringLiteral("baud"), QString(), QStringLiteral("TEXT"));
    const QCommandLineOption csv(QStringLiteral("records-csv"), QString(), QStringLiteral("FILE"));
    parser.addOptions({timeout, baud, csv});
    if (!parser.parse(QStringList{QStringLiteral("send")} + args)) {
        ConsoleText::write(
            m_err,
            QStringLiteral("varnel-pc send: unknown or incomplete option '%1'\n").arg(badOption(args)));
        return false;
    }
    if (!PositiveOption::read(parser, timeout, "send", "of ms", &m_timeoutMs, m_err) ||
        !PositiveOption::read(parser, baud, "send", "", &m_baud, m_err))
        return false;
    if (parser.isSet(csv))
        m_csvPath = parser.value(csv);
    const QStringList positional = parser.positionalArguments();
    if (positional.size() < 2 || positional.size() > 3) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc send: expected PORT CODE [HEX]\n"));
        return false;
    }
    m_portName = positional.at(0);
    m_code = parseCode(positional.at(1));
    if (m_code == 0) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc send: unknown command '%1' (1-21 or a name such as get-time)\n")
                       .arg(positional.at(1)));
        return false;
    }
    if (positional.size() == 3) {
        // Operator text: blanks between digit pairs and lower case are fine here.
        QString hex = positional.at(2).toUpper();
        hex.remove(QLatin1Char(' '));
        try {
            m_content = QByteArray::fromStdString(util::hexToBytes(hex.toStdString()));
        } catch (const std::invalid_argument& e) {
            ConsoleText::write(
                m_err, QStringLiteral("varnel-pc send: HEX '%1': %2\n").arg(positional.at(2), e.what()));
            return false;
        }
    }
    if (m_content.size() > wire::kMaxReceiveLength) {
        ConsoleText::write(
            m_err,
            QStringLiteral("varnel-pc send: HEX holds more than %1 bytes\n").arg(wire::kMaxReceiveLength));
        return false;
    }
    return true;
}

int SendCommand::run(const QStringList& args)
{
    if (!parseArgs(args))
        return UsageError;
    if (!m_csvPath.isEmpty() && !m_csv.open(m_csvPath)) {
        if (m_csv.isOpen())
            ConsoleText::write(
                m_err, QStringLiteral("varnel-pc send: cannot write %1: %2\n").arg(m_csvPath, m_csv.error()));
        else
            ConsoleText::write(m_err, QStringLiteral("varnel-pc send: cannot write %1\n").arg(m_csvPath));
        return Failure;
    }
    // A redrawn line would only clutter a log file or a pipe.
    m_progress.setEnabled(m_code == toCode(Command::GetFileRecords) && ::isatty(STDERR_FILENO));
    m_outIsTerminal = ::isatty(STDOUT_FILENO);
    QSerialPort port;
    if (!PcPort::open(port, m_portName, m_baud, "send", m_err))
        return Failure;
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

int SendCommand::exchange(QSerialPort& port, const QByteArray& request)
{
    print('>', request, HexFrameRenderer::Direction::Request);
    port.write(request);

    QByteArray buffer;
    QEventLoop loop;
    QTimer silence;
    silence.setSingleShot(true);
    bool complete = false;
    bool failed = false;
    QObject::connect(&silence, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&port, &QSerialPort::readyRead, &loop, [&] {
        buffer.append(port.readAll());
        const ExtractionResult result = FrameExtractor::extract(buffer);
        for (std::uint16_t crc : result.crcErrors)
            ConsoleText::write(m_err, FrameExtractor::crcErrorMessage(crc) + QLatin1Char('\n'));
        for (const ReceivedFrame& frame : result.frames) {
            if (!complete && handleFrame(frame.command, frame.content))
                complete = true;
        }
        if (complete)
            loop.quit();
        else if (!result.frames.empty())
            silence.start(m_timeoutMs); // an upload may run long: the time-out is per frame
    });
    QObject::connect(&port, &QSerialPort::errorOccurred, &loop, [&](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
            failed = true;
            loop.quit();
        }
    });
    silence.start(m_timeoutMs);
    loop.exec();
    m_progress.finish();

    if (complete)
        return finishCsv();
    if (failed) {
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc send: %1: %2\n").arg(m_portName, port.errorString()));
        return Failure;
    }
    ConsoleText::write(m_err,
                       QStringLiteral("varnel-pc send: no complete reply within %1 ms\n").arg(m_timeoutMs));
    return TimedOut;
}

bool SendCommand::handleFrame(std::uint8_t command, const QByteArray& content)
{
    Frame frame(command, true);
    frame.setAddress(wire::kAddress);
    frame.setData(std::make_unique<StringData>(content.toStdString()));
    frame.updateLength();
    print('<', frame.pack(), HexFrameRenderer::Direction::Response);
    if (command == toCode(Command::GetDeviceNumber) && content.size() > kRenderedDeviceNumberBytes &&
        !m_renderer.isOk()) {
        ConsoleText::write(
            m_out, QStringLiteral("    note: device number is %1 bytes; the renderer shows at most %2\n")
                       .arg(content.size())
                       .arg(kRenderedDeviceNumberBytes));
        m_out.flush();
    }
    if (command != m_code)
        return false;
    if (m_code != toCode(Command::GetFileRecords))
        return true;
    handleRecordFrame(content);
    if (m_csvFailed)
        return true;
    return content.size() == 1 && static_cast<std::uint8_t>(content.at(0)) == kEndFrameMark;
}

void SendCommand::handleRecordFrame(const QByteArray& content)
{
    const std::uint8_t mark = content.isEmpty() ? kEndFrameMark : static_cast<std::uint8_t>(content.at(0));
    if (mark == kStartFrameMark && content.size() == wire::kRecordStartSize) {
        m_announced = util::peekU32(content.mid(1).toStdString());
        m_progress.setAnnounced(m_announced);
    } else if (mark == kDataFrameMark) {
        m_progress.setReceived(++m_records);
    }
    if (!m_csvPath.isEmpty() && !m_csv.addFrameContent(content))
        m_csvFailed = true;
}

int SendCommand::finishCsv()
{
    if (m_csvPath.isEmpty())
        return Success;
    if (!m_csv.close()) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc send: cannot write %1: %2\n").arg(m_csvPath, m_csv.error()));
        return Failure;
    }
    if (m_code != toCode(Command::GetFileRecords))
        return Success;
    if (m_announced < 0) {
        ConsoleText::write(m_err,
                           QStringLiteral("varnel-pc send: %1: no start frame arrived, %2 rows not checked\n")
                               .arg(m_csvPath)
                               .arg(m_csv.rows()));
        return Failure;
    }
    if (m_csv.rows() < m_announced) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc send: %1: %2 of %3 announced records missing\n")
                                      .arg(m_csvPath)
                                      .arg(m_announced - m_csv.rows())
                                      .arg(m_announced));
        return Failure;
    }
    return Success;
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

#include "tools/varnel-pc/TapCommand.h"

#include "device/LineReader.h"
#include "process/SignalWatcher.h"
#include "protocol/FrameExtractor.h"
#include "tools/varnel-pc/ConsoleText.h"
#include "transport/SerialSettings.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>

#include <cerrno>
#include <cstring>
#include <ostream>

#include <poll.h>
#include <unistd.h>

namespace {

// Qt's read buffer per side: when it is full and the other side holds kHoldLimit bytes, the
// kernel's buffer fills and the sender waits, as it would on the line itself.
constexpr qint64 kReadBufferSize = 64 * 1024;

// Why a port reported an error, as the line says it: a hung-up pty or device shows as such.
QString lineReason(QSerialPort& port)
{
    pollfd p{int(port.handle()), POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        if (p.revents & POLLHUP)
            return QStringLiteral("hung up (its other end closed)");
        char byte;
        if (::read(p.fd, &byte, 1) < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
    }
    return port.errorString();
}

} // namespace

TapCommand::TapCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err)
{
    m_toUnit.direction = CapturePacket::Direction::PcToUnit;
    m_toUnit.name = "PC>UNIT";
    m_toPc.direction = CapturePacket::Direction::UnitToPc;
    m_toPc.name = "UNIT>PC";
}

QString TapCommand::usage() const
{
    return QStringLiteral("  tap [--baud TEXT] [--parity TEXT] --capture FILE.pcap PC_PORT UNIT_PORT\n"
                          "      copy bytes unchanged between the PC program's port and the unit's,\n"
                          "      print each frame rendered with its time and a reply's latency, capture\n"
                          "      both directions; Ctrl-C ends it with a summary line\n"
                          "  --baud TEXT        %1 (default %2)\n"
                          "  --parity TEXT      %3 (default %4)\n"
                          "  --capture FILE     the capture file to write (required)\n")
        .arg(SerialSettings::baudRateTexts().join(QLatin1Char(' ')), SerialSettings::baudRateTexts().first(),
             SerialSettings::parityTexts().join(QLatin1Char(' ')), SerialSettings::parityTexts().first());
}

bool TapCommand::parseArgs(const QStringList& args)
{
    QCommandLineParser parser;
    const QCommandLineOption capture(QStringLiteral("capture"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption baud(QStringLiteral("baud"), QString(), QStringLiteral("TEXT"),
                                  SerialSettings::baudRateTexts().first());
    const QCommandLineOption parity(QStringLiteral("parity"), QString(), QStringLiteral("TEXT"),
                                    SerialSettings::parityTexts().first());
    parser.addOptions({capture, baud, parity});
    if (!parser.parse(QStringList{QStringLiteral("tap")} + args)) {
        ConsoleText::usageError(m_err, "tap", parser.errorText());
        return false;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        ConsoleText::usageError(m_err, "tap", QStringLiteral("expected PC_PORT UNIT_PORT"));
        return false;
    }
    if (parser.value(capture).isEmpty()) {
        ConsoleText::usageError(m_err, "tap", QStringLiteral("--capture FILE.pcap is required"));
        return false;
    }
    m_baud = parser.value(baud);
    m_parity = parser.value(parity);
    if (!SerialSettings::baudRateTexts().contains(m_baud) ||
        !SerialSettings::parityTexts().contains(m_parity)) {
        ConsoleText::usageError(m_err, "tap",
                                QStringLiteral("--baud is one of %1; --parity one of %2")
                                    .arg(SerialSettings::baudRateTexts().join(QLatin1Char(' ')),
                                         SerialSettings::parityTexts().join(QLatin1Char(' '))));
        return false;
    }
    m_pcPortName = positional.at(0);
    m_unitPortName = positional.at(1);
    m_capturePath = parser.value(capture);
    return true;
}

bool TapCommand::openPort(QSerialPort& port, const QString& name)
{
    port.setPortName(name);
    if (!port.open(QIODevice::ReadWrite)) {
        ConsoleText::write(
            m_err, QStringLiteral("varnel-pc tap: cannot open %1: %2\n").arg(name, port.errorString()));
        return false;
    }
    const QString dataBits = SerialSettings::dataBitsTexts().first();
    const QString stopBits = SerialSettings::stopBitsTexts().first();
    SerialSettings(m_baud, dataBits, stopBits, m_parity).applyTo(port);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setReadBufferSize(kReadBufferSize);
    return true;
}

int TapCommand::run(const QStringList& args)
{
    if (!parseArgs(args))
        return UsageError;
    QSerialPort pcPort;
    QSerialPort unitPort;
    if (!openPort(pcPort, m_pcPortName) || !openPort(unitPort, m_unitPortName))
        return Failure;
    if (!m_capture.open(m_capturePath)) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: cannot write capture %1: %2\n")
                                      .arg(m_capturePath, m_capture.error()));
        return Failure;
    }
    m_toUnit.from = &pcPort;
    m_toUnit.to = &unitPort;
    m_toPc.from = &unitPort;
    m_toPc.to = &pcPort;
    m_clock.start();

    QEventLoop loop;
    m_loop = &loop;
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &loop, &QEventLoop::quit);
    for (Leg* leg : {&m_toUnit, &m_toPc}) {
        leg->stale.setSingleShot(true);
        leg->writable = std::make_unique<QSocketNotifier>(leg->to->handle(), QSocketNotifier::Write);
        leg->writable->setEnabled(false);
        QObject::connect(leg->writable.get(), &QSocketNotifier::activated, &loop,
                         [this, leg] { drain(*leg); });
        QObject::connect(leg->from, &QSerialPort::readyRead, &loop, [this, leg] { relay(*leg); });
        // A noise header that announced more than ever comes must not hold back the frames behind it.
        QObject::connect(&leg->stale, &QTimer::timeout, &loop, [this, leg] { cutFrames(*leg, true); });
        QObject::connect(leg->from, &QSerialPort::errorOccurred, &loop,
                         [this, leg](QSerialPort::SerialPortError error) {
                             if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError)
                                 vanished(*leg->from, lineReason(*leg->from));
                         });
    }
    ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1 <-> %2, capturing to %3; Ctrl-C ends\n")
                                  .arg(m_pcPortName, m_unitPortName, m_capturePath));
    loop.exec();
    m_loop = nullptr;
    for (Leg* leg : {&m_toUnit, &m_toPc}) {
        leg->writable.reset();
        // What already arrived still goes across, if the side takes it soon.
        QElapsedTimer waited;
        waited.start();
        while (!m_portFailed && !leg->pending.isEmpty() && waited.elapsed() < 500) {
            pollfd p{int(leg->to->handle()), POLLOUT, 0};
            if (::poll(&p, 1, 50) > 0)
                drain(*leg);
        }
        if (!leg->pending.isEmpty())
            ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1 bytes for %2 not delivered\n")
                                          .arg(leg->pending.size())
                                          .arg(leg->to->portName()));
        // A frame cut short by the end is kept, as discarded bytes.
        if (!leg->buffer.isEmpty()) {
            ExtractionResult rest;
            rest.discarded.push_back({0, leg->buffer});
            leg->buffer.clear();
            report(*leg, rest);
        }
    }
    printSummary();
    m_capture.close();
    return m_portFailed || m_captureFailed ? Failure : Success;
}

void TapCommand::relay(Leg& leg)
{
    // Paused: Qt's bounded buffer and then the kernel's hold the rest.
    if (leg.paused)
        return;
    const QByteArray bytes = leg.from->readAll();
    if (bytes.isEmpty())
        return;
    // Copied before anything else looks at them: printing must not delay the line.
    forward(leg, bytes);
    leg.buffer.append(bytes);
    cutFrames(leg, false);
}

void TapCommand::forward(Leg& leg, const QByteArray& bytes)
{
    leg.pending.append(bytes);
    drain(leg);
    if (!leg.paused && leg.pending.size() >= kHoldLimit && !m_portFailed) {
        leg.paused = true;
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1 takes nothing and %2 bytes wait for it; "
                                                 "not reading %3 until it does\n")
                                      .arg(leg.to->portName())
                                      .arg(leg.pending.size())
                                      .arg(leg.from->portName()));
    }
}

void TapCommand::drain(Leg& leg)
{
    const int fd = int(leg.to->handle());
    int done = 0;
    while (done < leg.pending.size() && !m_portFailed) {
        const ssize_t written =
            ::write(fd, leg.pending.constData() + done, size_t(leg.pending.size() - done));
        if (written > 0) {
            done += int(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break; // full for now: the write notifier says when it takes more
        } else {
            vanished(*leg.to, QString::fromLocal8Bit(std::strerror(written < 0 ? errno : EIO)));
            return;
        }
    }
    leg.pending.remove(0, done);
    if (leg.writable)
        leg.writable->setEnabled(!leg.pending.isEmpty() && !m_portFailed);
    if (leg.paused && leg.pending.size() < kHoldLimit / 2) {
        leg.paused = false;
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1 takes bytes again; reading %2\n")
                                      .arg(leg.to->portName(), leg.from->portName()));
        relay(leg);
    }
}

void TapCommand::vanished(QSerialPort& port, const QString& reason)
{
    if (m_portFailed)
        return;
    m_portFailed = true;
    ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1 is gone: %2\n").arg(port.portName(), reason));
    for (Leg* leg : {&m_toUnit, &m_toPc}) {
        if (leg->writable)
            leg->writable->setEnabled(false);
    }
    if (m_loop)
        m_loop->quit();
}

void TapCommand::cutFrames(Leg& leg, bool giveUp)
{
    if (!leg.buffer.isEmpty()) {
        const ExtractionResult result = FrameExtractor::extract(
            leg.buffer, giveUp ? FrameExtractor::Incomplete::GiveUp : FrameExtractor::Incomplete::Wait);
        report(leg, result);
    }
    if (leg.buffer.isEmpty())
        leg.stale.stop();
    else if (!giveUp)
        leg.stale.start(LineReader::kStaleFrameMs);
}

void TapCommand::report(Leg& leg, const ExtractionResult& result)
{
    for (std::uint16_t crc : result.crcErrors) {
        ++m_crcErrors;
        ConsoleText::write(m_out, QStringLiteral("%1 %2\n").arg(QLatin1String(leg.name),
                                                                FrameExtractor::crcErrorMessage(crc)));
    }
    auto discarded = result.discarded.cbegin();
    for (std::size_t i = 0; i <= result.frames.size(); ++i) {
        for (; discarded != result.discarded.cend() && discarded->beforeFrame == i; ++discarded) {
            m_discarded += std::uint64_t(discarded->bytes.size());
            capture(CapturePacket::Direction::Discarded, discarded->bytes);
            ConsoleText::write(m_out, QStringLiteral("%1 discarded %2 bytes: %3\n")
                                          .arg(QLatin1String(leg.name))
                                          .arg(discarded->bytes.size())
                                          .arg(ConsoleText::hex(discarded->bytes)));
        }
        if (i < result.frames.size()) {
            ++leg.frames;
            capture(leg.direction, result.frames[i].raw);
            printFrame(leg, result.frames[i].raw);
        }
    }
    m_out.flush();
}

void TapCommand::printFrame(const Leg& leg, const QByteArray& frame)
{
    const qint64 now = m_clock.nsecsElapsed();
    QString latency;
    if (leg.direction == CapturePacket::Direction::PcToUnit) {
        m_requestAtNs = now;
    } else if (m_requestAtNs >= 0) {
        latency = QStringLiteral("  (reply after %1 ms)").arg(double(now - m_requestAtNs) / 1e6, 0, 'f', 3);
        m_requestAtNs = -1;
    }
    const QString hex = ConsoleText::hex(frame);
    ConsoleText::write(m_out, QStringLiteral("%1 %2 %3%4\n")
                                  .arg(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")),
                                       QLatin1String(leg.name), hex, latency));
    const auto renderAs = leg.direction == CapturePacket::Direction::PcToUnit
                              ? HexFrameRenderer::Direction::Request
                              : HexFrameRenderer::Direction::Response;
    for (const QString& paragraph : m_renderer.render(hex, renderAs)) {
        for (const QString& line : paragraph.split(QLatin1Char('\n')))
            ConsoleText::write(m_out, QStringLiteral("    ") + line + QLatin1Char('\n'));
    }
}

void TapCommand::capture(CapturePacket::Direction direction, const QByteArray& bytes)
{
    if (m_captureFailed || m_capture.write(direction, bytes))
        return;
    // The line goes on being copied; only the file has stopped.
    m_captureFailed = true;
    ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: capture stopped: %1\n").arg(m_capture.error()));
}

void TapCommand::printSummary()
{
    ConsoleText::write(
        m_out, QStringLiteral("tap: %1 frames PC>UNIT, %2 frames UNIT>PC, %3 checksum errors, %4 bytes "
                              "discarded\n")
                   .arg(m_toUnit.frames)
                   .arg(m_toPc.frames)
                   .arg(m_crcErrors)
                   .arg(m_discarded));
    m_out.flush();
}

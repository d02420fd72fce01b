#include "tools/varnel-pc/TapCommand.h"

#include "device/Device.h"
#include "device/FrameExtractor.h"
#include "device/SerialSettings.h"
#include "process/SignalWatcher.h"
#include "tools/varnel-pc/ConsoleText.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QEventLoop>

#include <ostream>

TapCommand::TapCommand(std::ostream& out, std::ostream& err) : m_out(out), m_err(err)
{
    m_toUnit.direction = CapturePacket::Direction::PcToUnit;
    m_toUnit.name = "PC>UNIT";
    m_toPc.direction = CapturePacket::Direction::UnitToPc;
    m_toPc.name = "UNIT>PC";
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
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1\n").arg(parser.errorText()));
        return false;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: expected PC_PORT UNIT_PORT\n"));
        return false;
    }
    if (parser.value(capture).isEmpty()) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: --capture FILE.pcap is required\n"));
        return false;
    }
    m_baud = parser.value(baud);
    m_parity = parser.value(parity);
    if (!SerialSettings::baudRateTexts().contains(m_baud) ||
        !SerialSettings::parityTexts().contains(m_parity)) {
        ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: --baud is one of %1; --parity one of %2\n")
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
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &loop, &QEventLoop::quit);
    bool portFailed = false;
    for (Leg* leg : {&m_toUnit, &m_toPc}) {
        leg->stale.setSingleShot(true);
        QObject::connect(leg->from, &QSerialPort::readyRead, &loop, [this, leg] { relay(*leg); });
        // A noise header that announced more than ever comes must not hold back the frames behind it.
        QObject::connect(&leg->stale, &QTimer::timeout, &loop, [this, leg] { cutFrames(*leg, true); });
        QObject::connect(leg->from, &QSerialPort::errorOccurred, &loop,
                         [this, leg, &loop, &portFailed](QSerialPort::SerialPortError error) {
                             if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
                                 error != QSerialPort::WriteError)
                                 return;
                             ConsoleText::write(m_err,
                                                QStringLiteral("varnel-pc tap: %1: %2\n")
                                                    .arg(leg->from->portName(), leg->from->errorString()));
                             portFailed = true;
                             loop.quit();
                         });
    }
    ConsoleText::write(m_err, QStringLiteral("varnel-pc tap: %1 <-> %2, capturing to %3; Ctrl-C ends\n")
                                  .arg(m_pcPortName, m_unitPortName, m_capturePath));
    loop.exec();
    for (Leg* leg : {&m_toUnit, &m_toPc}) {
        // What already arrived still goes across.
        if (leg->to->isOpen())
            leg->to->waitForBytesWritten(100);
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
    return portFailed || m_captureFailed ? Failure : Success;
}

void TapCommand::relay(Leg& leg)
{
    const QByteArray bytes = leg.from->readAll();
    if (bytes.isEmpty())
        return;
    // Copied before anything else looks at them: printing must not delay the line.
    leg.to->write(bytes);
    leg.to->flush();
    leg.buffer.append(bytes);
    cutFrames(leg, false);
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
        leg.stale.start(Device::kStaleFrameMs);
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

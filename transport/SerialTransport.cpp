#include "transport/SerialTransport.h"

#include "transport/LineProbe.h"
#include "transport/PortLockHolder.h"

SerialTransport::SerialTransport(const QString& portName, const SerialSettings& settings, QObject* parent)
    : LineTransport(parent), m_portName(portName), m_settings(settings)
{
    m_port.setParent(this); // its events are known as this line's (its unit's log lines)
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialTransport::onError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &LineTransport::bytesWritten);
    m_break.setParent(this);
    m_break.setSingleShot(true);
    m_break.setTimerType(Qt::PreciseTimer);
    connect(&m_break, &QTimer::timeout, this, [this] {
        if (m_port.isOpen())
            m_port.setBreakEnabled(false);
    });
    m_controlLines.setParent(this);
    m_controlLines.setInterval(kControlLinesMs);
    connect(&m_controlLines, &QTimer::timeout, this, &SerialTransport::readControlLines);
}

SerialTransport::~SerialTransport()
{
    m_watchErrors = false;
}

bool SerialTransport::open()
{
    m_port.setPortName(m_portName);
    m_watchErrors = false;
    if (!m_port.open(QIODevice::ReadWrite))
        return false;
    m_settings.applyTo(m_port);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setDataTerminalReady(true);
    m_port.readAll();
    m_port.clear(QSerialPort::AllDirections);
    connect(&m_port, &QSerialPort::readyRead, this, &LineTransport::readyRead, Qt::UniqueConnection);
    // Setting results are not examined (a pty refuses DTR); only later failures are reported.
    m_port.clearError();
    m_watchErrors = true;
    m_pseudoTerminal = LineProbe::isPseudoTerminal(static_cast<std::intptr_t>(m_port.handle()));
    if (!m_pseudoTerminal) {
        const QSerialPort::PinoutSignals pins = m_port.pinoutSignals();
        m_dtr = pins.testFlag(QSerialPort::DataSetReadySignal);
        m_rts = pins.testFlag(QSerialPort::ClearToSendSignal);
        m_port.clearError();
        m_controlLines.start();
    }
    return true;
}

void SerialTransport::close()
{
    m_watchErrors = false;
    m_break.stop();
    m_controlLines.stop();
    if (!m_port.isOpen())
        return;
    disconnect(&m_port, &QSerialPort::readyRead, this, &LineTransport::readyRead);
    m_port.readAll();
    m_port.clear(QSerialPort::AllDirections);
    m_port.close();
}

QString SerialTransport::errorString() const
{
    return PortLockHolder::openErrorReason(m_portName, m_port.errorString(),
                                           m_port.error() == QSerialPort::PermissionError);
}

QByteArray SerialTransport::readAll()
{
    return m_port.readAll();
}

void SerialTransport::write(const QByteArray& bytes)
{
    if (!m_port.isOpen())
        return;
    m_port.write(bytes);
    m_port.flush();
}

void SerialTransport::clearInput()
{
    m_port.clear(QSerialPort::Input);
}

void SerialTransport::clearAll()
{
    m_port.clear(QSerialPort::AllDirections);
}

qint64 SerialTransport::bytesToWrite() const
{
    return m_port.isOpen() ? m_port.bytesToWrite() : 0;
}

bool SerialTransport::waitForBytesWritten(int msecs)
{
    return m_port.isOpen() && m_port.waitForBytesWritten(msecs);
}

bool SerialTransport::sendBreak(int ms)
{
    if (!carriesSignals())
        return false;
    m_port.setBreakEnabled(true);
    m_break.start(ms);
    return true;
}

bool SerialTransport::setModemLinesOff(std::uint8_t off)
{
    if (!carriesSignals())
        return false;
    m_port.setDataTerminalReady(!(off & (kDsr | kDcd)));
    m_port.setRequestToSend(!(off & kCts));
    return true;
}

void SerialTransport::readControlLines()
{
    if (!m_port.isOpen())
        return;
    const QSerialPort::PinoutSignals pins = m_port.pinoutSignals();
    const bool dtr = pins.testFlag(QSerialPort::DataSetReadySignal);
    const bool rts = pins.testFlag(QSerialPort::ClearToSendSignal);
    if (dtr == m_dtr && rts == m_rts)
        return;
    const auto onOff = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
    if (dtr != m_dtr)
        emit message(QStringLiteral("%1: DTR %2 (read as DSR)").arg(m_portName, onOff(dtr)));
    if (rts != m_rts)
        emit message(QStringLiteral("%1: RTS %2 (read as CTS)").arg(m_portName, onOff(rts)));
    m_dtr = dtr;
    m_rts = rts;
    emit controlLinesChanged(dtr, rts);
}

void SerialTransport::onError(QSerialPort::SerialPortError error)
{
    if (!m_watchErrors || !m_port.isOpen() || error == QSerialPort::NoError ||
        error == QSerialPort::TimeoutError || error == QSerialPort::UnsupportedOperationError)
        return;
    // A full output queue (the data stays queued) or an empty read after our own input flush
    // is reported like a vanished line; only the line itself can tell them apart.
    const LineProbe::Verdict line = LineProbe::check(static_cast<std::intptr_t>(m_port.handle()));
    if (!line.gone) {
        m_port.clearError();
        rearmReading();
        return;
    }
    // Closed, or the port's read notifier would spin on the dead descriptor.
    m_watchErrors = false;
    disconnect(&m_port, &QSerialPort::readyRead, this, &LineTransport::readyRead);
    m_port.close();
    emit lineLost(QString::fromLocal8Bit(line.reason.c_str()));
}

void SerialTransport::rearmReading()
{
    // A read notification that finds the input queue empty (our own input flush got there
    // first) reads 0 bytes; the port takes errno left over from a write the full line refused
    // (EAGAIN) as a vanished device and switches its read notifier off for good, though the
    // line is fine. Turned on again on the next turn of the loop, whichever order the port
    // reports and disables in; setting the read buffer size restarts the port's reading.
    if (m_rearmQueued)
        return;
    m_rearmQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_rearmQueued = false;
            if (m_port.isOpen() && m_watchErrors)
                m_port.setReadBufferSize(m_port.readBufferSize());
        },
        Qt::QueuedConnection);
}

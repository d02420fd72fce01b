#include "transport/Rfc2217Transport.h"

#include "transport/SerialSettings.h"

namespace {

constexpr int kSettingsQuietMs = 50;

Rfc2217Codec::LineSettings lineSettingsOf(const SerialSettings& settings)
{
    Rfc2217Codec::LineSettings line;
    line.baud = std::uint32_t(settings.baudRate());
    line.dataSize = std::uint8_t(settings.dataBits());
    switch (settings.parity()) {
    case QSerialPort::OddParity:
        line.parity = 2;
        break;
    case QSerialPort::EvenParity:
        line.parity = 3;
        break;
    case QSerialPort::MarkParity:
        line.parity = 4;
        break;
    case QSerialPort::SpaceParity:
        line.parity = 5;
        break;
    default:
        line.parity = 1;
        break;
    }
    line.stopSize = settings.stopBits() == QSerialPort::TwoStop          ? 2
                    : settings.stopBits() == QSerialPort::OneAndHalfStop ? 3
                                                                         : 1;
    return line;
}

} // namespace

Rfc2217Transport::Rfc2217Transport(const Endpoint& endpoint, const SerialSettings& settings, QObject* parent)
    : TcpServerTransport(endpoint, parent), m_initial(lineSettingsOf(settings)), m_telnet(m_initial),
      m_loggedSettings(m_initial.text()), m_seenSettings(m_initial), m_settingsLog(this)
{
    m_settingsLog.setSingleShot(true);
    m_settingsLog.setInterval(kSettingsQuietMs);
    connect(&m_settingsLog, &QTimer::timeout, this, &Rfc2217Transport::logSettings);
    m_break.setSingleShot(true);
    m_break.setTimerType(Qt::PreciseTimer);
    connect(&m_break, &QTimer::timeout, this, &Rfc2217Transport::endBreak);
}

void Rfc2217Transport::clientArrived()
{
    m_held.clear();
    m_break.stop();
    m_telnet.reset(m_initial);
    m_dtr = m_telnet.dtr();
    m_rts = m_telnet.rts();
    sendRaw(m_telnet.greeting());
}

QByteArray Rfc2217Transport::fromClient(const QByteArray& raw)
{
    QByteArray answers;
    const bool wasSuspended = m_telnet.isSuspended();
    const QByteArray data = m_telnet.fromClient(raw, &answers);
    sendRaw(answers);
    if (m_telnet.takePurgeInput())
        dropInput();
    if (m_telnet.takePurgeOutput())
        m_held.clear();
    if (wasSuspended && !m_telnet.isSuspended() && !m_break.isActive() && !m_held.isEmpty())
        sendRaw(Rfc2217Codec::escape(std::exchange(m_held, QByteArray())));
    noteControlLines();
    const QString problem = m_telnet.takeProblem();
    if (!problem.isEmpty())
        report(QStringLiteral("RFC 2217: %1").arg(problem));
    if (!(m_telnet.settings() == m_seenSettings)) {
        m_seenSettings = m_telnet.settings();
        m_settingsLog.start();
    }
    return data;
}

QByteArray Rfc2217Transport::toClient(const QByteArray& bytes)
{
    if (m_telnet.isSuspended() || m_break.isActive()) {
        if (m_held.size() + bytes.size() > kMaxQueuedBytes) {
            // It goes when the event loop gets back (said once); what it was sent is lost with it.
            dropClient((m_telnet.isSuspended()
                            ? QStringLiteral("it suspended the flow and %1 bytes piled up for it")
                            : QStringLiteral("%1 bytes piled up for it during a break"))
                           .arg(m_held.size() + bytes.size()));
            m_held.clear();
            return QByteArray();
        }
        m_held += bytes;
        return QByteArray();
    }
    return Rfc2217Codec::escape(bytes);
}

void Rfc2217Transport::noteControlLines()
{
    if (m_telnet.dtr() == m_dtr && m_telnet.rts() == m_rts)
        return;
    const auto onOff = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
    if (m_telnet.dtr() != m_dtr)
        report(QStringLiteral("RFC 2217: DTR %1").arg(onOff(m_telnet.dtr())));
    if (m_telnet.rts() != m_rts)
        report(QStringLiteral("RFC 2217: RTS %1").arg(onOff(m_telnet.rts())));
    m_dtr = m_telnet.dtr();
    m_rts = m_telnet.rts();
    emit controlLinesChanged(m_dtr, m_rts);
}

bool Rfc2217Transport::sendBreak(int ms)
{
    if (!m_break.isActive())
        sendRaw(m_telnet.notifyBreak(true));
    m_break.start(ms);
    return true;
}

void Rfc2217Transport::endBreak()
{
    sendRaw(m_telnet.notifyBreak(false));
    if (!m_telnet.isSuspended() && !m_held.isEmpty())
        sendRaw(Rfc2217Codec::escape(std::exchange(m_held, QByteArray())));
}

bool Rfc2217Transport::setModemLinesOff(std::uint8_t off)
{
    sendRaw(m_telnet.setModemState(std::uint8_t(Rfc2217Codec::kModemLinesOn & ~off)));
    return true;
}

qint64 Rfc2217Transport::characterNs() const
{
    const Rfc2217Codec::LineSettings& line = m_telnet.settings();
    // Stop size 1 one, 2 two, 3 one and a half; parity 1 none.
    const int stopHalves = line.stopSize == 2 ? 4 : line.stopSize == 3 ? 3 : 2;
    return SerialSettings::characterNs(line.baud, line.dataSize, line.parity != 1, stopHalves);
}

void Rfc2217Transport::logSettings()
{
    const QString text = m_telnet.settings().text();
    if (text == m_loggedSettings)
        return;
    m_loggedSettings = text;
    report(QStringLiteral("RFC 2217: %1").arg(text));
    emit settingsChanged(text);
}

#include "transport/Rfc2217Transport.h"

#include "transport/SerialSettings.h"

namespace {

constexpr int kSettingsQuietMs = 50;

Rfc2217Server::LineSettings lineSettingsOf(const SerialSettings& settings)
{
    Rfc2217Server::LineSettings line;
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
}

void Rfc2217Transport::clientArrived()
{
    m_held.clear();
    m_telnet.reset(m_initial);
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
    if (wasSuspended && !m_telnet.isSuspended() && !m_held.isEmpty())
        sendRaw(Rfc2217Server::escape(std::exchange(m_held, QByteArray())));
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
    if (m_telnet.isSuspended()) {
        if (m_held.size() + bytes.size() > kMaxQueuedBytes) {
            // It goes when the event loop gets back (said once); what it was sent is lost with it.
            dropClient(QStringLiteral("it suspended the flow and %1 bytes piled up for it")
                           .arg(m_held.size() + bytes.size()));
            m_held.clear();
            return QByteArray();
        }
        m_held += bytes;
        return QByteArray();
    }
    return Rfc2217Server::escape(bytes);
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

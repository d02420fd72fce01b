#include "tools/varnel-pc/PcPort.h"

#include "tools/varnel-pc/ConsoleText.h"
#include "tools/varnel-pc/PositiveOption.h"
#include "tools/varnel-pc/Rfc2217Line.h"
#include "transport/Endpoint.h"
#include "transport/SerialSettings.h"

#include <QCommandLineParser>
#include <QSerialPort>
#include <QTcpSocket>

#include <poll.h>
#include <unistd.h>

namespace {

// The line settings after the baud rate, which the PC side takes as any positive number.
QList<SerialSettings::Choice> lineChoices()
{
    return SerialSettings::choices().mid(1);
}

// What the line still holds: read to the end, so a reply to an earlier run is not taken
// for this one's.
qint64 drain(QSerialPort& port)
{
    qint64 count = port.readAll().size();
    const int fd = int(port.handle());
    char chunk[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN))
            break;
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        count += got;
    }
    return count;
}

} // namespace

PcPort::PcPort()
    : m_timeoutOption(QStringLiteral("timeout"), QString(), QStringLiteral("MS")),
      m_baudOption(QStringLiteral("baud"), QString(), QStringLiteral("N"))
{
    for (const SerialSettings::Choice& choice : lineChoices()) {
        m_lineOptions << QCommandLineOption(QString::fromLatin1(choice.option), QString(),
                                            QStringLiteral("TEXT"), choice.texts.first());
        m_lineTexts << choice.texts.first();
    }
}

void PcPort::addOptions(QCommandLineParser& parser) const
{
    parser.addOptions(QList<QCommandLineOption>{m_timeoutOption, m_baudOption} + m_lineOptions);
}

bool PcPort::readOptions(const QCommandLineParser& parser, const char* command, std::ostream& err)
{
    if (!PositiveOption::read(parser, m_timeoutOption, command, "of ms", &m_timeoutMs, err) ||
        !PositiveOption::read(parser, m_baudOption, command, "", &m_baud, err))
        return false;
    const QList<SerialSettings::Choice> choices = lineChoices();
    for (int i = 0; i < choices.size(); ++i) {
        const QString text = parser.value(m_lineOptions.at(i));
        const QString refusal = SerialSettings::refusal(choices.at(i), text);
        if (!refusal.isEmpty()) {
            ConsoleText::usageError(err, command, refusal);
            return false;
        }
        m_lineTexts[i] = text;
    }
    return true;
}

QString PcPort::usage()
{
    QString text =
        QStringLiteral("  --timeout MS       give up after MS milliseconds without a complete reply\n"
                       "                     frame (default 2000, per frame)\n"
                       "  --baud N           the line's baud rate, any positive number (default 115200)\n");
    for (const SerialSettings::Choice& choice : lineChoices())
        text += QStringLiteral("  %1 %2 (default %3)\n")
                    .arg(QStringLiteral("--%1 TEXT").arg(QLatin1String(choice.option)), -18)
                    .arg(choice.texts.join(QLatin1Char(' ')), choice.texts.first());
    return text;
}

std::unique_ptr<QIODevice> PcPort::open(const QString& name, const char* command, std::ostream& err) const
{
    const auto cannot = [&](const QString& reason) {
        ConsoleText::write(err, QStringLiteral("varnel-pc %1: cannot open %2: %3\n")
                                    .arg(QString::fromLatin1(command), name, reason));
        return nullptr;
    };
    Endpoint endpoint;
    QString problem;
    if (!Endpoint::parse(name, &endpoint, &problem))
        return cannot(problem);
    const SerialSettings line(QString(), m_lineTexts.at(0), m_lineTexts.at(1), m_lineTexts.at(2));
    if (endpoint.kind() == Endpoint::Kind::Tcp) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(endpoint.name(), endpoint.port());
        if (!socket->waitForConnected(m_timeoutMs))
            return cannot(socket->errorString());
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return socket;
    }
    if (endpoint.kind() == Endpoint::Kind::Rfc2217) {
        Rfc2217Codec::LineSettings settings;
        settings.baud = std::uint32_t(m_baud);
        settings.dataSize = std::uint8_t(line.dataBits());
        const QSerialPort::Parity parity = line.parity();
        settings.parity = parity == QSerialPort::OddParity     ? 2
                          : parity == QSerialPort::EvenParity  ? 3
                          : parity == QSerialPort::MarkParity  ? 4
                          : parity == QSerialPort::SpaceParity ? 5
                                                               : 1;
        settings.stopSize = line.stopBits() == QSerialPort::TwoStop          ? 2
                            : line.stopBits() == QSerialPort::OneAndHalfStop ? 3
                                                                             : 1;
        auto telnet = std::make_unique<Rfc2217Line>(settings);
        if (!telnet->connectTo(endpoint.name(), endpoint.port(), m_timeoutMs))
            return cannot(telnet->errorString());
        return telnet;
    }
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(name);
    if (!port->open(QIODevice::ReadWrite))
        return cannot(port->errorString());
    port->setBaudRate(m_baud);
    port->setDataBits(line.dataBits());
    port->setStopBits(line.stopBits());
    port->setParity(line.parity());
    port->setFlowControl(QSerialPort::NoFlowControl);
    const qint64 discarded = drain(*port);
    if (discarded > 0)
        ConsoleText::write(err, QStringLiteral("varnel-pc %1: discarded %2 bytes waiting on %3\n")
                                    .arg(QLatin1String(command))
                                    .arg(discarded)
                                    .arg(name));
    return port;
}

void PcPort::watchFailure(QIODevice& line, QObject* context, bool writeErrors,
                          const std::function<void()>& onFailure)
{
    if (auto* port = qobject_cast<QSerialPort*>(&line)) {
        QObject::connect(port, &QSerialPort::errorOccurred, context, [=](QSerialPort::SerialPortError error) {
            if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                (writeErrors && error == QSerialPort::WriteError))
                onFailure();
        });
        return;
    }
    QAbstractSocket* socket = qobject_cast<QAbstractSocket*>(&line);
    if (auto* telnet = qobject_cast<Rfc2217Line*>(&line))
        socket = &telnet->socket();
    // A peer that closes is reported as an error (the remote host closed the connection) too.
    if (socket)
        QObject::connect(socket, &QAbstractSocket::errorOccurred, context, [=] { onFailure(); });
}

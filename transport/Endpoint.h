#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class LineTransport;
class SerialSettings;

// Where a unit's line is, as the operator names it: a serial port name or path,
// "tcp:HOST:PORT" (raw bytes over TCP), "rfc2217:HOST:PORT" (Telnet with the serial
// port control option) or "pty:PATH" (a pseudo terminal of the unit's own, PATH linked to the
// PC's end; Unix). The one place these forms are told apart.
class Endpoint
{
public:
    enum class Kind
    {
        Serial,
        Tcp,
        Rfc2217,
        Pty
    };

    Endpoint() = default;

    // False with the reason in `error` (naming the text) for a network form that is not
    // HOST:PORT with PORT 0-65535, or a text holding a control character (a NUL, a line
    // break, ESC); anything else without a network prefix is a serial port.
    static bool parse(const QString& text, Endpoint* endpoint, QString* error);

    Kind kind() const { return m_kind; }
    bool isNetwork() const { return m_kind == Kind::Tcp || m_kind == Kind::Rfc2217; }
    // The serial port name, the network host, or the pty's link path.
    const QString& name() const { return m_name; }
    quint16 port() const { return m_port; }
    // "tcp:HOST:PORT", "rfc2217:HOST:PORT", "pty:PATH", or the port name.
    QString text() const;
    // What two units cannot share: the TCP port (not 0), or for a serial port the path it
    // opens and the device found there, so a link to a pty, another spelling of its path and
    // the pty itself are one line. Two endpoints clash when one key is in both lists.
    QStringList lineKeys() const;
    // The same endpoint on another TCP port (the one actually bound).
    Endpoint withPort(quint16 port) const;

    // The unit's end of the line: a serial port with these settings, or a listener (the
    // settings are then what an RFC 2217 client is told before it sets its own).
    std::unique_ptr<LineTransport> makeUnitLine(const SerialSettings& settings) const;

private:
    Kind m_kind = Kind::Serial;
    QString m_name;
    quint16 m_port = 0;
};

#include "control/ControlAddress.h"

#include <QHostAddress>

namespace {

// HOST, HOST:PORT or [IPV6]:PORT: the host (brackets taken off) and the port, -1 when none;
// false for anything else.
bool splitHostPort(const QString& text, QString* host, int* port)
{
    QString rest;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        *host = text.mid(1, close - 1);
        rest = text.mid(close + 1);
    } else {
        const int colon = text.indexOf(QLatin1Char(':'));
        *host = colon < 0 ? text : text.left(colon);
        rest = colon < 0 ? QString() : text.mid(colon);
    }
    *port = -1;
    if (rest.isEmpty())
        return !host->isEmpty();
    if (!rest.startsWith(QLatin1Char(':')) || rest.size() < 2 || rest.size() > 6)
        return false;
    for (const QChar c : rest.mid(1))
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    *port = rest.mid(1).toInt();
    return !host->isEmpty() && *port <= 65535;
}

// Letters, digits, '-' and '.', as a DNS name is written.
bool isHostName(const QString& name)
{
    if (name.isEmpty() || name.size() > 253 || name.startsWith(QLatin1Char('-')) ||
        name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-') && c != QLatin1Char('.'))
            return false;
    return true;
}

} // namespace

bool ControlAddress::parse(const QString& text, ControlAddress* address, QString* error)
{
    const auto fail = [&](const QString& problem) {
        if (error)
            *error = QStringLiteral("--control: \"%1\" %2").arg(text, problem);
        return false;
    };
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return fail(QStringLiteral("is not HOST:PORT"));
    QString host = text.left(colon);
    const QString portText = text.mid(colon + 1);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return fail(QStringLiteral("has an IPv6 address without brackets ([::1]:PORT)"));
    if (host.isEmpty())
        return fail(QStringLiteral("names no host"));
    bool valid = portText.size() <= 5 && !portText.isEmpty();
    for (const QChar c : portText)
        valid = valid && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int port = valid ? portText.toInt() : -1;
    if (port < 0 || port > 65535)
        return fail(QStringLiteral("has no port from 0 to 65535"));
    if (address) {
        address->m_host = host;
        address->m_port = port;
    }
    return true;
}

QString ControlAddress::checkOptions(const QString& control, const QString& token, ControlAddress* address)
{
    if (control.isNull())
        return token.isNull() ? QString() : QStringLiteral("--control-token: only with --control HOST:PORT");
    QString problem;
    if (!parse(control, address, &problem))
        return problem;
    if (!token.isNull() && token.isEmpty())
        return QStringLiteral("--control-token: expected a token");
    if (!address->isLoopback() && token.isNull())
        return QStringLiteral(
                   "--control: %1 is not a loopback address: anyone on the network could drive the "
                   "units; give --control-token TOKEN as well")
            .arg(address->host());
    return QString();
}

QString ControlAddress::checkNames(const QStringList& names, bool control, ControlAddress* address)
{
    if (names.isEmpty())
        return QString();
    if (!control)
        return QStringLiteral("--control-host: only with --control HOST:PORT");
    for (const QString& name : names)
        if (!isHostName(name))
            return QStringLiteral("--control-host: \"%1\" is not a host name (letters, digits, '-' and '.')")
                .arg(name);
    if (address)
        address->m_names = names;
    return QString();
}

bool ControlAddress::isOwnHost(const QString& host, const QString& local) const
{
    QString name = host;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.compare(m_host, Qt::CaseInsensitive) == 0 ||
        name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    for (const QString& own : m_names)
        if (name.compare(own, Qt::CaseInsensitive) == 0)
            return true;
    const QHostAddress literal(name);
    if (literal.isNull())
        return false;
    return literal.isEqual(QHostAddress(local), QHostAddress::ConvertV4MappedToIPv4) ||
           literal.isEqual(QHostAddress(m_host), QHostAddress::ConvertV4MappedToIPv4);
}

bool ControlAddress::acceptsHost(const QString& value, const QString& local) const
{
    QString host;
    int port = -1;
    return splitHostPort(value, &host, &port) && isOwnHost(host, local);
}

bool ControlAddress::acceptsOrigin(const QString& value, int port, const QString& local) const
{
    const QLatin1String scheme("http://");
    QString host;
    int given = -1;
    if (!value.startsWith(scheme, Qt::CaseInsensitive) ||
        !splitHostPort(value.mid(scheme.size()), &host, &given))
        return false;
    return (given < 0 ? 80 : given) == port && isOwnHost(host, local);
}

bool ControlAddress::isLoopback() const
{
    if (m_host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress literal(m_host);
    return !literal.isNull() && literal.isLoopback();
}

QString ControlAddress::url(int port) const
{
    const QString host = m_host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(m_host) : m_host;
    return QStringLiteral("http://%1:%2").arg(host).arg(port);
}

#include "control/ControlAddress.h"

#include <QHostAddress>

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

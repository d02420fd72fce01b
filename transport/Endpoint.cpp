#include "transport/Endpoint.h"

#include "transport/PtyTransport.h"

#include "transport/Rfc2217Transport.h"
#include "transport/SerialTransport.h"
#include "transport/TcpServerTransport.h"
#include "util/MessageQuote.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

struct Scheme
{
    const char* prefix;
    Endpoint::Kind kind;
};

constexpr Scheme kSchemes[] = {
    {"tcp:", Endpoint::Kind::Tcp},
    {"rfc2217:", Endpoint::Kind::Rfc2217},
};

constexpr const char* kPtyPrefix = "pty:";

const char* prefixOf(Endpoint::Kind kind)
{
    for (const Scheme& scheme : kSchemes)
        if (scheme.kind == kind)
            return scheme.prefix;
    return "";
}

} // namespace

bool Endpoint::parse(const QString& text, Endpoint* endpoint, QString* error)
{
    // No port or host has one, and it would cut or garble every message that names the line.
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control) {
            if (error)
                *error = QStringLiteral("%1 holds a control character").arg(MessageQuote::of(text));
            return false;
        }
    }
    Endpoint parsed;
    parsed.m_name = text;
    if (text.startsWith(QLatin1String(kPtyPrefix))) {
#ifdef Q_OS_WIN
        if (error)
            *error = QStringLiteral("\"%1\": a pty: line needs a Unix system").arg(text);
        return false;
#else
        parsed.m_kind = Kind::Pty;
        parsed.m_name = text.mid(int(qstrlen(kPtyPrefix)));
        if (parsed.m_name.isEmpty()) {
            if (error)
                *error = QStringLiteral("\"%1\" is not pty:PATH with the path to link").arg(text);
            return false;
        }
        if (endpoint)
            *endpoint = parsed;
        return true;
#endif
    }
    for (const Scheme& scheme : kSchemes) {
        const QLatin1String prefix(scheme.prefix);
        if (!text.startsWith(prefix))
            continue;
        const QString rest = text.mid(prefix.size());
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        QString host = colon > 0 ? rest.left(colon) : QString();
        // An IPv6 address is written in brackets, so its colons are not the port's.
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        const QString portText = colon >= 0 ? rest.mid(colon + 1) : QString();
        bool digits = !portText.isEmpty() && portText.size() <= 5;
        for (const QChar c : portText)
            digits = digits && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const uint port = digits ? portText.toUInt() : 0;
        if (host.isEmpty() || !digits || port > 65535) {
            if (error)
                *error = QStringLiteral("%1 is not %2HOST:PORT with PORT from 0 to 65535")
                             .arg(MessageQuote::of(text), QLatin1String(scheme.prefix));
            return false;
        }
        parsed.m_kind = scheme.kind;
        parsed.m_name = host;
        parsed.m_port = quint16(port);
        break;
    }
    if (parsed.m_kind == Kind::Serial && text.isEmpty()) {
        if (error)
            *error = QStringLiteral("an empty port name");
        return false;
    }
    if (endpoint)
        *endpoint = parsed;
    return true;
}

QString Endpoint::text() const
{
    if (m_kind == Kind::Serial)
        return m_name;
    if (m_kind == Kind::Pty)
        return QLatin1String(kPtyPrefix) + m_name;
    const QString host = m_name.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(m_name) : m_name;
    return QStringLiteral("%1%2:%3").arg(QLatin1String(prefixOf(m_kind)), host).arg(m_port);
}

QStringList Endpoint::lineKeys() const
{
    if (isNetwork())
        return m_port == 0 ? QStringList() : QStringList{QStringLiteral("port:%1").arg(m_port)};
    // Where QSerialPort looks for it: a bare name is under /dev.
    const bool path = m_name.startsWith(QLatin1Char('/')) || m_name.startsWith(QLatin1String("./")) ||
                      m_name.startsWith(QLatin1String("../"));
    const QString location =
        QDir::cleanPath(QDir::current().absoluteFilePath(path ? m_name : QStringLiteral("/dev/") + m_name));
    QStringList keys{QStringLiteral("path:") + location};
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(QFile::encodeName(location).constData(), &info) == 0)
        keys << (S_ISCHR(info.st_mode)
                     ? QStringLiteral("device:%1").arg(quint64(info.st_rdev))
                     : QStringLiteral("file:%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino)));
#endif
    return keys;
}

Endpoint Endpoint::withPort(quint16 port) const
{
    Endpoint other = *this;
    other.m_port = port;
    return other;
}

std::unique_ptr<LineTransport> Endpoint::makeUnitLine(const SerialSettings& settings) const
{
    switch (m_kind) {
    case Kind::Tcp:
        return std::make_unique<TcpServerTransport>(*this);
    case Kind::Rfc2217:
        return std::make_unique<Rfc2217Transport>(*this, settings);
    case Kind::Pty:
#ifndef Q_OS_WIN
        return std::make_unique<PtyTransport>(m_name, settings);
#else
        break;
#endif
    case Kind::Serial:
        break;
    }
    return std::make_unique<SerialTransport>(m_name, settings);
}

#pragma once

#include <QString>
#include <QStringList>

// Where the control API listens: HOST:PORT as the operator wrote it ([::1]:PORT for an IPv6
// address), whether the host is this machine only, and the names a request may call it by.
class ControlAddress
{
public:
    // False with `error` naming the text and what is wrong.
    static bool parse(const QString& text, ControlAddress* address, QString* error);
    // The --control and --control-token options as given (null strings: not given): what is
    // wrong with them (a usage error), or empty with `address` set.
    static QString checkOptions(const QString& control, const QString& token, ControlAddress* address);

    // The --control-host NAME options as given: what is wrong with them (a usage error), or
    // empty with the names kept in `address`.
    static QString checkNames(const QStringList& names, bool control, ControlAddress* address);

    const QString& host() const { return m_host; }
    int port() const { return m_port; }
    // localhost, 127.0.0.0/8 or ::1: nobody else can reach it.
    bool isLoopback() const;
    // http://HOST:PORT with `port` (the one bound), the IPv6 form bracketed.
    QString url(int port) const;

    // A Host header's value names this API: its host is the bound host, the address the
    // connection came to (`local`), localhost or a --control-host name; a port is not compared.
    // A web page's name that resolves to us (DNS rebinding) names none of them.
    bool acceptsHost(const QString& value, const QString& local) const;
    // An Origin header's value is this API's own: http:// with a host as above and `port`.
    bool acceptsOrigin(const QString& value, int port, const QString& local) const;

private:
    bool isOwnHost(const QString& host, const QString& local) const;

    QString m_host;
    QStringList m_names;
    int m_port = 0;
};

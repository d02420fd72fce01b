#pragma once

#include <QString>

// Where the control API listens: HOST:PORT as the operator wrote it ([::1]:PORT for an IPv6
// address), and whether the host is this machine only.
class ControlAddress
{
public:
    // False with `error` naming the text and what is wrong.
    static bool parse(const QString& text, ControlAddress* address, QString* error);
    // The --control and --control-token options as given (null strings: not given): what is
    // wrong with them (a usage error), or empty with `address` set.
    static QString checkOptions(const QString& control, const QString& token, ControlAddress* address);

    const QString& host() const { return m_host; }
    int port() const { return m_port; }
    // localhost, 127.0.0.0/8 or ::1: nobody else can reach it.
    bool isLoopback() const;
    // http://HOST:PORT with `port` (the one bound), the IPv6 form bracketed.
    QString url(int port) const;

private:
    QString m_host;
    int m_port = 0;
};

#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <ostream>

class QCommandLineParser;
class QIODevice;
class QObject;

// The PC end of the line, as send and replay take its options and open it: any positive baud
// rate (for PC programs set to an unusual one), data bits, stop bits and parity as varnel-emu
// takes them, no flow control, a time-out per reply frame; input waiting at opening is dropped.
class PcPort
{
public:
    PcPort();

    // --timeout MS, --baud N, --data-bits TEXT, --stop-bits TEXT, --parity TEXT.
    void addOptions(QCommandLineParser& parser) const;
    // False with a usage error on err when one of them is refused.
    bool readOptions(const QCommandLineParser& parser, const char* command, std::ostream& err);
    // The option lines of a sub-command's usage.
    static QString usage();

    // NAME is a serial port, or tcp:HOST:PORT / rfc2217:HOST:PORT to connect to. Null with
    // "varnel-pc COMMAND: cannot open NAME: reason" on err. Bytes already waiting on a serial
    // port are dropped, with "varnel-pc COMMAND: discarded N bytes waiting on NAME" on err.
    std::unique_ptr<QIODevice> open(const QString& name, const char* command, std::ostream& err) const;
    // Calls onFailure (in context) when the line fails for good: a serial read or resource
    // error (and write errors with writeErrors), a network peer that closed or failed.
    static void watchFailure(QIODevice& line, QObject* context, bool writeErrors,
                             const std::function<void()>& onFailure);

    int timeoutMs() const { return m_timeoutMs; }
    // After a reply (or fewer frames than expected), the line is read on until it has been quiet
    // this long, so whatever else the unit adds is shown and a shortfall differs, not times out.
    static constexpr int kSettleMs = 100;

private:
    QCommandLineOption m_timeoutOption;
    QCommandLineOption m_baudOption;
    QList<QCommandLineOption> m_lineOptions; // data bits, stop bits, parity
    int m_timeoutMs = 2000;
    int m_baud = 115200;
    QStringList m_lineTexts;
};

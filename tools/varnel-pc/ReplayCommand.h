#pragma once

#include "tools/varnel-pc/PcPort.h"
#include "tools/varnel-pc/SubCommand.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>

#include <iosfwd>
#include <vector>

// varnel-pc replay FILE.pcap PORT [--report FILE.jsonl] [line options]: sends
// the requests of a capture in order, waits for each reply and compares it with the captured
// one, time fields masked. One line (and one report object) per request.
class ReplayCommand : public SubCommand
{
public:
    enum
    {
        TimedOut = 3,
        Differs = 4
    };

    ReplayCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

    // One request of the capture and the frames that answered it.
    struct Exchange
    {
        QByteArray request;
        std::vector<QByteArray> reply;
    };

    // Where a replayed reply first departs from the captured one.
    struct Difference
    {
        int frame = 0; // from 1
        QString field; // the header part's or content field's label, "CRC", or "byte N"
        QString captured;
        QString replayed;
    };

    // Sets the live frame's time fields to the captured ones (checksum following, if it was
    // right); the first difference that remains, if any.
    static bool compare(const std::vector<QByteArray>& captured, std::vector<QByteArray> replayed,
                        Difference& difference);

private:
    bool parseArgs(const QStringList& args);
    bool loadExchanges();
    // False on a port failure; `timedOut` when the reply stayed incomplete.
    bool collect(QIODevice& port, const Exchange& exchange, std::vector<QByteArray>& frames, bool& timedOut);
    void writeReport(int index, const Exchange& exchange, const QString& result, const Difference* difference,
                     std::size_t replayedFrames);

    std::ostream& m_out;
    std::ostream& m_err;
    QString m_capturePath;
    QString m_portName;
    QString m_reportPath;
    PcPort m_port;
    std::vector<Exchange> m_exchanges;
    QFile m_report;
};

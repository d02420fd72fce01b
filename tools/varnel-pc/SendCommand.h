#pragma once

#include "render/HexFrameRenderer.h"
#include "tools/varnel-pc/ProgressLine.h"
#include "tools/varnel-pc/RecordCsv.h"
#include "tools/varnel-pc/SubCommand.h"

#include <QByteArray>
#include <QSerialPort>

#include <cstdint>
#include <iosfwd>

// varnel-pc send [--timeout MS] [--baud TEXT] [--records-csv FILE] PORT CODE [HEX]:
// the PC side. Sends one request and prints every reply frame as hex and rendered
// until the reply is complete (for get-file-records: through the end frame).
// An upload written to CSV fails when a row cannot be written or the rows fall short of
// the start frame's count.
class SendCommand : public SubCommand
{
public:
    enum
    {
        TimedOut = 3
    };

    SendCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;

    // Code for "1".."21", "0x0C" or a gloss such as "get-time"; 0 when unknown.
    static std::uint8_t parseCode(const QString& text);

private:
    bool parseArgs(const QStringList& args);
    QByteArray buildRequest() const;
    int exchange(QSerialPort& port, const QByteArray& request);
    // True once nothing more is to be read: the reply is complete or the CSV failed.
    bool handleFrame(std::uint8_t command, const QByteArray& content);
    void handleRecordFrame(const QByteArray& content);
    int finishCsv();
    void print(char direction, const QByteArray& frame, HexFrameRenderer::Direction renderAs);

    std::ostream& m_out;
    std::ostream& m_err;
    HexFrameRenderer m_renderer;
    RecordCsv m_csv;
    ProgressLine m_progress;
    QString m_portName;
    int m_baud = 115200;
    QString m_csvPath;
    int m_timeoutMs = 2000;
    std::uint8_t m_code = 0;
    QByteArray m_content;
    long long m_announced = -1; // no start frame yet
    long long m_records = 0;
    bool m_csvFailed = false;
    bool m_outIsTerminal = false;
};

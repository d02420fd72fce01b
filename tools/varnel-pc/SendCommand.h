#pragma once

#include "tools/varnel-pc/RecordCsv.h"
#include "tools/varnel-pc/SubCommand.h"
#include "ui/HexFrameRenderer.h"

#include <QByteArray>
#include <QSerialPort>

#include <cstdint>
#include <iosfwd>

// varnel-pc send [--timeout MS] [--baud TEXT] [--records-csv FILE] PORT CODE [HEX]:
// the PC side. Sends one request and prints every reply frame as hex and rendered
// until the reply is complete (for get-file-records: through the end frame).
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
    // True once the reply to the request is complete.
    bool handleFrame(std::uint8_t command, const QByteArray& content);
    void print(char direction, const QByteArray& frame, HexFrameRenderer::Direction renderAs);

    std::ostream& m_out;
    std::ostream& m_err;
    HexFrameRenderer m_renderer;
    RecordCsv m_csv;
    QString m_portName;
    QString m_baud = QStringLiteral("115200");
    QString m_csvPath;
    int m_timeoutMs = 2000;
    std::uint8_t m_code = 0;
    QByteArray m_content;
};

#pragma once

#include "render/HexFrameRenderer.h"
#include "tools/varnel-pc/PcPort.h"
#include "tools/varnel-pc/ProgressLine.h"
#include "tools/varnel-pc/RecordCsv.h"
#include "tools/varnel-pc/SubCommand.h"

#include <QByteArray>
#include <QIODevice>

#include <cstdint>
#include <iosfwd>
#include <set>

struct ReceivedFrame;

// varnel-pc send [line options] [--records-csv FILE] [--allow-noise] PORT CODE [HEX]: the PC side. Sends one
// request and prints every frame that arrives, exactly as received, as hex and rendered, until
// the reply is complete (for get-file-records: through the end frame) and the line is quiet.
// A frame with another address or command than the request's, or a bad checksum, is flagged
// and fails the run, as do bytes that are no frame (unless --allow-noise), a record received
// twice and records missing from an upload.
class SendCommand : public SubCommand
{
public:
    enum
    {
        TimedOut = 3
    };

    SendCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

    // Code for "1".."21", "0x0C" or a name such as "get-time" (any case); 0 when unknown.
    static std::uint8_t parseCode(const QString& text);

private:
    bool parseArgs(const QStringList& args);
    QByteArray buildRequest() const;
    int exchange(QIODevice& port, const QByteArray& request);
    // True once the reply is complete or the CSV failed.
    bool handleFrame(const ReceivedFrame& frame);
    // False when the frame is not what the request asked for (said on err).
    bool checkFrame(const ReceivedFrame& frame);
    void handleRecordFrame(const QByteArray& content);
    int finish();
    void flag(const QByteArray& frame, const QString& problem);
    void print(char direction, const QByteArray& frame, HexFrameRenderer::Direction renderAs);
    void printStray(const QByteArray& bytes);

    std::ostream& m_out;
    std::ostream& m_err;
    HexFrameRenderer m_renderer;
    PcPort m_port;
    RecordCsv m_csv;
    ProgressLine m_progress;
    QString m_portName;
    QString m_csvPath;
    std::uint8_t m_code = 0;
    QByteArray m_content;
    long long m_announced = -1; // no start frame yet
    long long m_records = 0;
    std::set<std::uint32_t> m_sequences; // of the records taken
    bool m_replyStarted = false;         // a frame of the request's command came
    bool m_complete = false;
    bool m_csvFailed = false;
    bool m_flagged = false;
    bool m_outIsTerminal = false;
    bool m_allowNoise = false;
    long long m_noiseBytes = 0; // shown as not a frame
};

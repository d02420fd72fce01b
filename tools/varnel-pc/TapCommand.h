#pragma once

#include "capture/CaptureWriter.h"
#include "render/HexFrameRenderer.h"
#include "tools/varnel-pc/SubCommand.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <iosfwd>
#include <memory>

struct ExtractionResult;

// varnel-pc tap PC_PORT UNIT_PORT --capture FILE.pcap [--baud TEXT] [--parity TEXT]: sits
// between the PC program and the unit, copies every byte unchanged both ways as it comes,
// prints each frame rendered, and captures both directions. Ctrl-C ends it with a summary.
// A side that is momentarily full holds its bytes (up to kHoldLimit, then reading from the other
// side pauses until it drains); only a side that vanishes ends the tap.
class TapCommand : public SubCommand
{
public:
    // Bytes held for a side that takes none; beyond it the other side is no longer read.
    static constexpr int kHoldLimit = 4 * 1024 * 1024;

    TapCommand(std::ostream& out, std::ostream& err);

    int run(const QStringList& args) override;
    QString usage() const override;

private:
    // One direction of the line: what comes in on `from` goes out on `to`.
    struct Leg
    {
        QSerialPort* from = nullptr;
        QSerialPort* to = nullptr;
        CapturePacket::Direction direction = CapturePacket::Direction::PcToUnit;
        const char* name = "";
        QByteArray buffer;
        QByteArray pending; // copied from `from`, not yet taken by `to`
        std::unique_ptr<QSocketNotifier> writable;
        bool paused = false; // pending reached kHoldLimit: `from` is not read
        QTimer stale;
        std::uint64_t frames = 0;
    };

    bool parseArgs(const QStringList& args);
    bool openPort(QSerialPort& port, const QString& name);
    void relay(Leg& leg);
    // Writes what `to` takes now; the rest waits for its write notifier.
    void forward(Leg& leg, const QByteArray& bytes);
    void drain(Leg& leg);
    // The side is gone: ends the tap with the reason.
    void vanished(QSerialPort& port, const QString& reason);
    void cutFrames(Leg& leg, bool giveUp);
    void report(Leg& leg, const ExtractionResult& result);
    void printFrame(const Leg& leg, const QByteArray& frame);
    void capture(CapturePacket::Direction direction, const QByteArray& bytes);
    void printSummary();

    std::ostream& m_out;
    std::ostream& m_err;
    HexFrameRenderer m_renderer;
    CaptureWriter m_capture;
    QString m_pcPortName;
    QString m_unitPortName;
    QString m_capturePath;
    QString m_baud;
    QString m_parity;
    Leg m_toUnit;
    Leg m_toPc;
    QElapsedTimer m_clock;
    qint64 m_requestAtNs = -1; // a request is waiting for its first reply frame
    std::uint64_t m_crcErrors = 0;
    std::uint64_t m_discarded = 0;
    bool m_captureFailed = false;
    bool m_portFailed = false;
    QEventLoop* m_loop = nullptr;
};

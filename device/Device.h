#pragma once

#include "protocol/FrameExtractor.h"
#include "protocol/UnitReply.h"
#include "transport/LineTiming.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class Data;
class LineObserver;
class LinePacer;
class LineTransport;
class UsbAdapterShaper;

// One line endpoint speaking the frame protocol. The owner thread owns the line, the
// receive timer and the sends; frames are cut out of the receive buffer by a parse thread
// (the window's way) or, without one, on the owner thread as the bytes arrive.
class Device : public QObject
{
    Q_OBJECT

public:
    // A serial port with the window's five setting texts.
    Device(const QString& portName, const QString& baudRate, const QString& dataBits, const QString& stopBits,
           const QString& parity, QObject* parent = nullptr);
    // Any line; the device owns it.
    Device(const QString& portName, std::unique_ptr<LineTransport> line, QObject* parent = nullptr);
    ~Device() override;

    void initRecvTimer(int intervalMs);

    bool Open();
    bool Close();
    bool isOpen() const;
    // A number of its own for every successful Open(), 0 while closed or after the line is
    // lost: what was meant for one session is told from the next one's (owner thread).
    std::uint64_t session() const { return m_session; }
    QString portName() const { return m_portName; }
    LineTransport* line() const { return m_line.get(); }
    // The system's reason for the last port failure (open or later).
    QString errorString() const;
    // Bytes handed to the port but not yet written to the line.
    qint64 bytesToWrite() const;
    // Blocks until the port has written some of its buffer to the line, at most msecs.
    bool waitForBytesWritten(int msecs);

    // Without a parse thread, frames are cut on the owner thread as the bytes arrive.
    void startParseThread();
    void stopParseThread();
    bool isParseThreadRunning() const { return m_parseThread.joinable(); }

    // How long the line must be quiet before a candidate frame that announced more bytes than
    // arrived is given up, so a request behind a noise header is still found.
    static constexpr int kStaleFrameMs = 500;
    // Name of the parse thread as the system shows it (/proc/PID/task/TID/comm).
    static constexpr const char* kParseThreadName = "varnel-parse";

    bool SendData(bool isResponse, std::uint8_t cmd, std::unique_ptr<Data> data, int timeoutMs);
    bool SendData(bool isResponse, std::uint8_t cmd, std::string data, int timeoutMs);
    // The unit's answer: packed, logged and written as SendData does, the filter told what it is.
    bool sendReply(const UnitReply& reply);
    // Every byte the unit puts on the line passes here (GUI thread); nothing when the port is closed.
    void writeToLine(const QByteArray& bytes);

    // Changes bytes on their way to the PC as a noisy cable would, after the observer saw them
    // as sent; an empty one: none (owner thread).
    using LineNoise = std::function<void(QByteArray& bytes)>;
    void setLineNoise(LineNoise noise) { m_lineNoise = std::move(noise); }

    // Bytes to and from the line as a cable and adapter would carry them (all off: as they
    // come). `fallbackCharacterNs` is the character time of a line without settings of its own.
    void setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs);
    const LineTiming& lineTiming() const { return m_timing; }
    // When what was handed to the line so far has left it (LinePacer's clock); 0 when untimed.
    qint64 lineFreeAtNs() const;
    // What line timing still holds goes to the line now (an orderly end's last frames).
    void flushLineTiming();
    // Bytes line timing holds at most in each direction (a peer that set a very slow rate and
    // keeps asking); more are dropped, with one log line until the backlog has left.
    static constexpr qint64 kMaxLineTimingBytes = 1024 * 1024;
    // Shown every frame received, every write and every discard from now on; nullptr ends
    // that. Not owned; it must outlive the device or be taken off first (GUI thread).
    void setLineObserver(LineObserver* observer);

    // Sees every packed frame before it is written (owner thread), with the reply it carries
    // (nullptr for a frame sent through SendData); true means the filter took the frame over
    // and writes what it decides through writeToLine. An empty filter: none.
    using WriteFilter = std::function<bool(const UnitReply* reply, const QByteArray& frame)>;
    void setWriteFilter(WriteFilter filter) { m_writeFilter = std::move(filter); }

    // The settings the texts of the main window's combo boxes map to.
    static qint32 baudRateFor(const QString& text);
    static QSerialPort::DataBits dataBitsFor(const QString& text);
    static QSerialPort::StopBits stopBitsFor(const QString& text);
    static QSerialPort::Parity parityFor(const QString& text);

signals:
    void recv_data(QString portName, unsigned char cmd, QByteArray data);
    void recv_timeout(QString portName);
    // The line is gone (adapter removed, the other end of a pty closed); the port is closed.
    void line_lost(QString portName);
    void bytes_written(qint64 bytes);

public slots:
    void slot_readData();
    void slot_recvTimer();

private slots:
    void slot_lineLost(QString reason);

private:
    enum class Discard
    {
        BufferOnly,
        BufferAndUnread
    };
    bool sendFrame(bool isResponse, std::uint8_t cmd, const QByteArray& packed, Discard discard,
                   int timeoutMs, const UnitReply* reply = nullptr);
    void runParseThread();
    void extractFrames(FrameExtractor::Incomplete incomplete);
    void showToObserver(const ExtractionResult& result);
    void extractInline(FrameExtractor::Incomplete incomplete);
    void deliver(const ExtractionResult& result);
    // Bytes that have reached the unit: into the receive buffer, cut at once without a parse thread.
    void takeArrived(const QByteArray& bytes);
    // The last step toward the PC: the transport's write.
    void toTransport(const QByteArray& bytes);
    // Held bytes belong to no later session of the line.
    void dropLineTiming();
    // False (and one log line) when `pacer` holds too much to take `bytes` as well.
    bool pacerTakes(LinePacer& pacer, const QByteArray& bytes, bool& overflowLogged);

    std::unique_ptr<LineTransport> m_line;
    QString m_portName;
    QByteArray m_recvBuffer;     // guarded by m_bufferMutex
    bool m_bytesArrived = false; // guarded by m_bufferMutex: wakes the parse thread
    std::mutex m_bufferMutex;
    std::condition_variable m_bufferChanged;
    QTimer m_recvTimer;
    std::thread m_parseThread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_recvTimerArmed{false}; // lets the parse thread skip needless stop requests
    LineObserver* m_observer = nullptr;        // set on the GUI thread under m_bufferMutex
    QTimer m_staleTimer; // inline extraction only: gives up a candidate after a quiet line
    std::uint64_t m_session = 0;
    WriteFilter m_writeFilter;
    LineNoise m_lineNoise;
    LineTiming m_timing;
    qint64 m_fallbackCharacterNs = 0;
    bool m_toPcOverflow = false;
    bool m_fromPcOverflow = false;
    // Declared last: their timers are children of this device and go first.
    std::unique_ptr<UsbAdapterShaper> m_adapter;
    std::unique_ptr<LinePacer> m_toPc;
    std::unique_ptr<LinePacer> m_fromPc;
};

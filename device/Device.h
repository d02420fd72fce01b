#pragma once

#include "protocol/FrameExtractor.h"

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

// One open serial port speaking the frame protocol. The GUI thread owns the port, the
// receive timer and the sends; a parse thread cuts frames out of the receive buffer.
class Device : public QObject
{
    Q_OBJECT

public:
    Device(const QString& portName, const QString& baudRate, const QString& dataBits, const QString& stopBits,
           const QString& parity, QObject* parent = nullptr);
    ~Device() override;

    void initRecvTimer(int intervalMs);

    bool Open();
    bool Close();
    bool isOpen() const;
    // A number of its own for every successful Open(), 0 while closed or after the line is
    // lost: what was meant for one session is told from the next one's (GUI thread).
    std::uint64_t session() const { return m_session; }
    QString portName() const { return m_portName; }
    // The system's reason for the last port failure (open or later).
    QString errorString() const;
    QSerialPort::SerialPortError portError() const { return m_port.error(); }
    // Bytes handed to the port but not yet written to the line.
    qint64 bytesToWrite() const;
    // Blocks until the port has written some of its buffer to the line, at most msecs.
    bool waitForBytesWritten(int msecs);

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
    // Every byte the unit puts on the line passes here (GUI thread); nothing when the port is closed.
    void writeToLine(const QByteArray& bytes);
    // Shown every frame received, every write and every discard from now on; nullptr ends
    // that. Not owned; it must outlive the device or be taken off first (GUI thread).
    void setLineObserver(LineObserver* observer);

    // Sees every packed frame before it is written (GUI thread); true means the filter took the
    // frame over and writes what it decides through writeToLine. An empty filter: none.
    using WriteFilter = std::function<bool(const QByteArray& frame)>;
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
    void slot_errorOccurred(QSerialPort::SerialPortError error);

private:
    enum class Discard
    {
        BufferOnly,
        BufferAndUnread
    };
    bool sendFrame(bool isResponse, std::uint8_t cmd, const QByteArray& packed, Discard discard,
                   int timeoutMs);
    void runParseThread();
    void extractFrames(FrameExtractor::Incomplete incomplete);
    void showToObserver(const ExtractionResult& result);
    void awaitPass(std::uint64_t append);
    void rearmReading();

    QSerialPort m_port;
    QString m_portName;
    QString m_baudRate;
    QString m_dataBits;
    QString m_stopBits;
    QString m_parity;
    QByteArray m_recvBuffer;     // guarded by m_bufferMutex
    bool m_bytesArrived = false; // guarded by m_bufferMutex: wakes the parse thread
    std::uint64_t m_appends = 0; // guarded by m_bufferMutex: counts hand-offs to the parse thread
    std::atomic<std::uint64_t> m_appendsParsed{0}; // the hand-offs whose pass has ended
    std::mutex m_bufferMutex;
    std::condition_variable m_bufferChanged;
    QTimer m_recvTimer;
    std::thread m_parseThread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_recvTimerArmed{false}; // lets the parse thread skip needless stop requests
    LineObserver* m_observer = nullptr;        // set on the GUI thread under m_bufferMutex
    bool m_watchPortErrors = false;
    bool m_portErrorLogged = false;
    bool m_rearmQueued = false;
    std::uint64_t m_session = 0;
    WriteFilter m_writeFilter;
};

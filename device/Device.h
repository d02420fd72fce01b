#pragma once

#include "protocol/FrameExtractor.h"
#include "protocol/UnitReply.h"
#include "protocol/UnitRequest.h"
#include "transport/LineTiming.h"
#include "transport/LineWriter.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class LineObserver;
class LinePacer;
class LineTransport;

// One line endpoint speaking the frame protocol: the line, the frames cut from what it
// receives, and the writer of what goes back. The owner thread owns the line and the writes;
// frames are cut out of the receive buffer by a parse thread
// (the window's way) or, without one, on the owner thread as the bytes arrive.
class Device : public QObject
{
    Q_OBJECT

public:
    // The device owns the line.
    Device(const QString& portName, std::unique_ptr<LineTransport> line, QObject* parent = nullptr);
    ~Device() override;

    bool Open();
    bool Close();
    bool isOpen() const;
    QString portName() const { return m_portName; }
    LineTransport* line() const { return m_line.get(); }
    // The system's reason for the last port failure (open or later).
    QString errorString() const;
    // Every byte toward the PC goes through it.
    LineWriter* writer() { return &m_writer; }

    // Without a parse thread, frames are cut on the owner thread as the bytes arrive.
    void startParseThread();
    void stopParseThread();
    bool isParseThreadRunning() const { return m_parseThread.joinable(); }

    // How long the line must be quiet before a candidate frame that announced more bytes than
    // arrived is given up, so a request behind a noise header is still found.
    static constexpr int kStaleFrameMs = 500;
    // Name of the parse thread as the system shows it (/proc/PID/task/TID/comm).
    static constexpr const char* kParseThreadName = "varnel-parse";

    // The half-duplex turn before the unit's answer goes out: the bytes received but not yet
    // cut into a request are dropped (and, for a reply that asks it, what the line still holds
    // unread). False, with the log line, when the line is closed or the frame empty; the caller
    // then writes nothing.
    bool readyForReply(std::uint8_t command, const QByteArray& frame, bool discardUnread);

    // Bytes from and to the line as a cable and adapter would carry them (all off: as they
    // come). `fallbackCharacterNs` is the character time of a line without settings of its own.
    void setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs);
    // Every request cut from the line, in order, on the owner thread (a parse thread's are
    // handed over); none: they are cut and dropped. Set on the owner thread.
    using RequestSink = std::function<void(const UnitRequest& request)>;
    void setRequestSink(RequestSink sink) { m_sink = std::move(sink); }

    // Shown every frame received, every write and every discard from now on; nullptr ends
    // that. Not owned; it must outlive the device or be taken off first (GUI thread).
    void setLineObserver(LineObserver* observer);

signals:
    // The line is gone (adapter removed, the other end of a pty closed); the port is closed.
    void line_lost(QString portName);

public slots:
    void slot_readData();

private slots:
    void slot_lineLost(QString reason);
    // The parse thread's requests, on the owner thread.
    void takeHandedOver();

private:
    void runParseThread();
    void extractFrames(FrameExtractor::Incomplete incomplete);
    // The frames cut, shown to the observer with the discards between them in line order
    // (under the buffer lock) and typed, each with the journal number the observer gave it.
    std::vector<UnitRequest> requestsOf(const ExtractionResult& result);
    void extractInline(FrameExtractor::Incomplete incomplete);
    void deliver(std::vector<UnitRequest> requests, const std::vector<std::uint16_t>& crcErrors);
    // Bytes that have reached the unit: into the receive buffer, cut at once without a parse thread.
    void takeArrived(const QByteArray& bytes);
    // The line's session is over: nothing on its way belongs to the next one.
    void endSession();

    std::unique_ptr<LineTransport> m_line;
    QString m_portName;
    RequestSink m_sink; // owner thread
    QByteArray m_recvBuffer;     // guarded by m_bufferMutex
    bool m_bytesArrived = false; // guarded by m_bufferMutex: wakes the parse thread
    std::vector<UnitRequest> m_handedOver; // guarded by m_bufferMutex: cut, not yet on the owner thread
    std::mutex m_bufferMutex;
    std::condition_variable m_bufferChanged;
    std::thread m_parseThread;
    std::atomic<bool> m_running{false};
    LineObserver* m_observer = nullptr; // set on the GUI thread under m_bufferMutex
    QTimer m_staleTimer;                // inline extraction only: gives up a candidate after a quiet line
    bool m_fromPcOverflow = false;
    // Declared last: their timers are children of this device and go first.
    LineWriter m_writer;
    std::unique_ptr<LinePacer> m_fromPc;
};

#pragma once

#include "protocol/FrameExtractor.h"
#include "protocol/UnitRequest.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class LineObserver;

// The reading end of a unit's line: the bytes received, cut into typed requests by a parse
// thread (the window's way) or, without one, on the owner thread as they arrive, each handed to
// the sink on the owner thread in line order. What is no frame is shown to the observer as a
// discard between the frames it came between.
class LineReader : public QObject
{
    Q_OBJECT

public:
    explicit LineReader(QObject* parent = nullptr);
    ~LineReader() override;

    // Without a parse thread, frames are cut on the owner thread as the bytes arrive.
    void startParseThread();
    void stopParseThread();
    bool isParseThreadRunning() const { return m_parseThread.joinable(); }

    // How long the line must be quiet before a candidate frame that announced more bytes than
    // arrived is given up, so a request behind a noise header is still found.
    static constexpr int kStaleFrameMs = 500;
    // Name of the parse thread as the system shows it (/proc/PID/task/TID/comm).
    static constexpr const char* kParseThreadName = "varnel-parse";

    // Every request cut from the line, in order, on the owner thread (a parse thread's are
    // handed over); none: they are cut and dropped. Set on the owner thread.
    using RequestSink = std::function<void(const UnitRequest& request)>;
    void setRequestSink(RequestSink sink) { m_sink = std::move(sink); }
    // Shown every frame cut and every discard from now on; nullptr ends that. Set under the
    // buffer lock, so a frame being shown on the parse thread is through with the old one.
    void setObserver(LineObserver* observer);

    // Bytes that have reached the unit; cut at once without a parse thread.
    void take(const QByteArray& bytes);
    // What was received and not yet cut, with `unread` (what the line still holds), dropped
    // and shown as one discard: the half-duplex turn before a reply.
    void discardUncut(const QByteArray& unread = QByteArray());
    // A line opened (again): nothing received before belongs to what comes next.
    void clear();
    // The line closed or lost: a candidate still waiting is not given up later.
    void lineEnded() { m_staleTimer.stop(); }

private slots:
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

    RequestSink m_sink;                    // owner thread
    QByteArray m_recvBuffer;               // guarded by m_bufferMutex
    bool m_bytesArrived = false;           // guarded by m_bufferMutex: wakes the parse thread
    std::vector<UnitRequest> m_handedOver; // guarded by m_bufferMutex: cut, not yet on the owner thread
    LineObserver* m_observer = nullptr;    // guarded by m_bufferMutex
    std::mutex m_bufferMutex;
    std::condition_variable m_bufferChanged;
    std::thread m_parseThread;
    std::atomic<bool> m_running{false};
    QTimer m_staleTimer; // inline cutting only: gives up a candidate after a quiet line
};

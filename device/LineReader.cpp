#include "device/LineReader.h"

#include "log/Log.h"
#include "transport/LineObserver.h"

#include <QThread>

#include <chrono>
#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

LineReader::LineReader(QObject* parent) : QObject(parent)
{
    // A child, so an event for it is known as this line's (its unit's log lines).
    m_staleTimer.setParent(this);
    m_staleTimer.setSingleShot(true);
    m_staleTimer.setInterval(kStaleFrameMs);
    connect(&m_staleTimer, &QTimer::timeout, this,
            [this] { extractInline(FrameExtractor::Incomplete::GiveUp); });
}

LineReader::~LineReader()
{
    // A line replaced must not leave a joinable thread behind.
    if (m_parseThread.joinable())
        stopParseThread();
}

void LineReader::startParseThread()
{
    if (m_parseThread.joinable())
        return;
    m_running = true;
    m_parseThread = std::thread(&LineReader::runParseThread, this);
}

void LineReader::stopParseThread()
{
    {
        // Under the lock, so the thread cannot miss the wake-up between its test and its wait.
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_running = false;
    }
    m_bufferChanged.notify_all();
    if (m_parseThread.joinable())
        m_parseThread.join();
}

void LineReader::setObserver(LineObserver* observer)
{
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    m_observer = observer;
}

void LineReader::take(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_recvBuffer.append(bytes);
        m_bytesArrived = true;
    }
    m_bufferChanged.notify_one();
    if (!m_parseThread.joinable())
        extractInline(FrameExtractor::Incomplete::Wait);
}

void LineReader::discardUncut(const QByteArray& unread)
{
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    QByteArray cleared;
    cleared.swap(m_recvBuffer);
    cleared += unread;
    if (m_observer && !cleared.isEmpty())
        m_observer->bytesDiscarded(cleared);
}

void LineReader::clear()
{
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    m_recvBuffer.clear();
}

void LineReader::runParseThread()
{
#ifdef Q_OS_LINUX
    pthread_setname_np(pthread_self(), kParseThreadName);
#endif
    const auto woken = [this] { return m_bytesArrived || !m_running; };
    // After a give-up pass only new bytes are worth another look: no wake-ups while idle.
    bool gaveUp = false;
    std::unique_lock<std::mutex> locker(m_bufferMutex);
    while (m_running) {
        if (m_recvBuffer.isEmpty() || gaveUp) {
            m_bufferChanged.wait(locker, woken);
        } else if (!m_bufferChanged.wait_for(locker, std::chrono::milliseconds(kStaleFrameMs), woken)) {
            // The line has been quiet with a frame still incomplete: a noise header announced
            // more than will ever come. Drop such candidates so a request behind them is found.
            extractFrames(FrameExtractor::Incomplete::GiveUp);
            gaveUp = true;
            continue;
        }
        if (!m_running)
            break;
        m_bytesArrived = false;
        gaveUp = false;
        extractFrames(FrameExtractor::Incomplete::Wait);
    }
}

void LineReader::extractFrames(FrameExtractor::Incomplete incomplete)
{
    if (m_recvBuffer.isEmpty())
        return;
    const ExtractionResult result = FrameExtractor::extract(m_recvBuffer, incomplete);
    // Under the buffer lock, so a request is seen before any reply to it is sent.
    deliver(requestsOf(result), result.crcErrors);
}

void LineReader::deliver(std::vector<UnitRequest> requests, const std::vector<std::uint16_t>& crcErrors)
{
    if (QThread::currentThread() == thread()) {
        for (const UnitRequest& request : requests)
            if (m_sink)
                m_sink(request);
    } else if (!requests.empty()) {
        // The parse thread holds the buffer lock here. The requests wait under that lock and the
        // owner thread takes them under it, so the hand-over is ordered by a lock every checker
        // sees; one wake-up serves all that wait.
        const bool wake = m_handedOver.empty();
        for (UnitRequest& request : requests)
            m_handedOver.push_back(std::move(request));
        if (wake)
            QMetaObject::invokeMethod(this, "takeHandedOver", Qt::QueuedConnection);
    }
    for (std::uint16_t crc : crcErrors)
        VLOG(1, FrameExtractor::crcErrorMessage(crc));
}

void LineReader::takeHandedOver()
{
    std::vector<UnitRequest> requests;
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        requests.swap(m_handedOver);
    }
    // Looked up now: a session that let the line go gets none.
    for (const UnitRequest& request : requests)
        if (m_sink)
            m_sink(request);
}

std::vector<UnitRequest> LineReader::requestsOf(const ExtractionResult& result)
{
    const qint64 arrivedUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::vector<UnitRequest> requests;
    requests.reserve(result.frames.size());
    auto discarded = result.discarded.cbegin();
    for (std::size_t i = 0; i <= result.frames.size(); ++i) {
        for (; m_observer && discarded != result.discarded.cend() && discarded->beforeFrame == i; ++discarded)
            m_observer->bytesDiscarded(discarded->bytes);
        if (i == result.frames.size())
            break;
        const ReceivedFrame& frame = result.frames[i];
        UnitRequest request;
        request.command = frame.command;
        request.content = frame.content;
        request.frame = frame.raw;
        request.arrivedUs = arrivedUs;
        if (m_observer)
            request.seq = m_observer->frameReceived(frame.raw);
        requests.push_back(std::move(request));
    }
    return requests;
}

void LineReader::extractInline(FrameExtractor::Incomplete incomplete)
{
    ExtractionResult result;
    std::vector<UnitRequest> requests;
    bool waiting = false;
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_bytesArrived = false;
        if (m_recvBuffer.isEmpty())
            return;
        result = FrameExtractor::extract(m_recvBuffer, incomplete);
        requests = requestsOf(result);
        waiting = !m_recvBuffer.isEmpty();
    }
    // A candidate still incomplete is given up after a quiet spell; an empty buffer needs no timer.
    if (waiting && incomplete == FrameExtractor::Incomplete::Wait)
        m_staleTimer.start();
    else
        m_staleTimer.stop();
    // Outside the lock: a handler's reply clears the buffer.
    deliver(std::move(requests), result.crcErrors);
}

#include "device/Device.h"

#include "log/Log.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "transport/LineObserver.h"
#include "transport/LinePacer.h"
#include "transport/LineTransport.h"

#include <QThread>

#include <chrono>
#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

Device::Device(const QString& portName, std::unique_ptr<LineTransport> line, QObject* parent)
    : QObject(parent), m_line(std::move(line)), m_portName(portName), m_writer(m_line.get(), this)
{
    // A child, so an event for it is known as this device's (its unit's log lines).
    m_staleTimer.setParent(this);
    m_staleTimer.setSingleShot(true);
    m_staleTimer.setInterval(kStaleFrameMs);
    connect(&m_staleTimer, &QTimer::timeout, this,
            [this] { extractInline(FrameExtractor::Incomplete::GiveUp); });
    connect(m_line.get(), &LineTransport::lineLost, this, &Device::slot_lineLost);
    connect(&m_writer, &LineWriter::message, this, [](const QString& text) { VLOG(1, text); });
}

Device::~Device()
{
    // A registry replacing a device must not leave a joinable thread behind.
    if (m_parseThread.joinable())
        stopParseThread();
}

bool Device::Open()
{
    if (!m_line->open())
        return false;
    {
        // Bytes of a line opened before (a reopen) belong to no request of this one.
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_recvBuffer.clear();
    }
    connect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData, Qt::UniqueConnection);
    VLOG(1, QStringLiteral("Device Opened!"));
    return true;
}

bool Device::Close()
{
    endSession();
    disconnect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData);
    m_staleTimer.stop();
    m_line->close();
    VLOG(1, QStringLiteral("Device Closed!"));
    return true;
}

bool Device::isOpen() const
{
    return m_line->isOpen();
}

QString Device::errorString() const
{
    return m_line->errorString();
}

void Device::startParseThread()
{
    if (m_parseThread.joinable())
        return;
    m_running = true;
    m_parseThread = std::thread(&Device::runParseThread, this);
}

void Device::stopParseThread()
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

void Device::runParseThread()
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

void Device::extractFrames(FrameExtractor::Incomplete incomplete)
{
    if (m_recvBuffer.isEmpty())
        return;
    const ExtractionResult result = FrameExtractor::extract(m_recvBuffer, incomplete);
    // Under the buffer lock, so a request is seen before any reply to it is sent.
    deliver(requestsOf(result), result.crcErrors);
}

void Device::deliver(std::vector<UnitRequest> requests, const std::vector<std::uint16_t>& crcErrors)
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

void Device::takeHandedOver()
{
    std::vector<UnitRequest> requests;
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        requests.swap(m_handedOver);
    }
    // Looked up now: a session that let the device go gets none.
    for (const UnitRequest& request : requests)
        if (m_sink)
            m_sink(request);
}

bool Device::readyForReply(std::uint8_t command, const QByteArray& frame, bool discardUnread)
{
    if (!m_line->isOpen()) {
        VLOG(1, QStringLiteral("串口未打开!"));
        return false;
    }
    if (frame.isEmpty()) {
        VLOG(1, QStringLiteral("创建协议帧失败!"));
        return false;
    }
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    QByteArray cleared;
    cleared.swap(m_recvBuffer);
    if (discardUnread)
        cleared += m_line->readAll();
    if (m_observer && !cleared.isEmpty())
        m_observer->bytesDiscarded(cleared);
    // Only the input side: a reply still queued for the line must not be cut short.
    m_line->clearInput();
    // A hung-up line is noticed (and the port closed) by the calls above.
    if (!m_line->isOpen()) {
        VLOG(1, QStringLiteral("串口未打开!"));
        return false;
    }
    VLOG(1, QStringLiteral("发送消息：%1").arg(commandName(command)));
    return true;
}

void Device::setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs)
{
    m_writer.setLineTiming(timing, fallbackCharacterNs);
    m_fromPc.reset();
    if (timing.fromPc)
        m_fromPc = std::make_unique<LinePacer>(
            [this, fallbackCharacterNs] {
                const qint64 own = m_line->characterNs();
                return own > 0 ? own : fallbackCharacterNs;
            },
            [this](const QByteArray& b) { takeArrived(b); }, this);
}

void Device::endSession()
{
    m_writer.endSession();
    if (m_fromPc)
        m_fromPc->clear();
}

void Device::setLineObserver(LineObserver* observer)
{
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    m_observer = observer;
    m_writer.setObserver(observer);
}

std::vector<UnitRequest> Device::requestsOf(const ExtractionResult& result)
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

void Device::slot_readData()
{
    // The port is not cleared afterwards: bytes arriving meanwhile belong to the next read.
    const QByteArray bytes = m_line->readAll();
    if (m_fromPc) {
        // On a cable they are still on their way.
        if (m_writer.pacerTakes(*m_fromPc, bytes, m_fromPcOverflow))
            m_fromPc->push(bytes);
        VLOG(1, QStringLiteral("Read Data!"));
        return;
    }
    if (!bytes.isEmpty()) {
        {
            std::lock_guard<std::mutex> locker(m_bufferMutex);
            m_recvBuffer.append(bytes);
            m_bytesArrived = true;
        }
        m_bufferChanged.notify_one();
    }
    VLOG(1, QStringLiteral("Read Data!"));
    if (!bytes.isEmpty() && !m_parseThread.joinable())
        extractInline(FrameExtractor::Incomplete::Wait);
}

void Device::takeArrived(const QByteArray& bytes)
{
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_recvBuffer.append(bytes);
        m_bytesArrived = true;
    }
    m_bufferChanged.notify_one();
    if (!m_parseThread.joinable())
        extractInline(FrameExtractor::Incomplete::Wait);
}

void Device::extractInline(FrameExtractor::Incomplete incomplete)
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

void Device::slot_lineLost(QString reason)
{
    VLOG(1, QStringLiteral("串口错误：%1").arg(reason));
    endSession();
    disconnect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData);
    m_staleTimer.stop();
    emit line_lost(m_portName);
}

#include "device/Device.h"

#include "data/Data.h"
#include "device/Frame.h"
#include "transport/LineObserver.h"
#include "log/Log.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameExtractor.h"
#include "protocol/FrameView.h"
#include "protocol/WireFormat.h"
#include "transport/LinePacer.h"
#include "transport/LineTransport.h"
#include "transport/SerialTransport.h"
#include "transport/UsbAdapterShaper.h"

#include <chrono>
#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

Device::Device(const QString& portName, const QString& baudRate, const QString& dataBits,
               const QString& stopBits, const QString& parity, QObject* parent)
    : Device(
          portName,
          std::make_unique<SerialTransport>(portName, SerialSettings(baudRate, dataBits, stopBits, parity)),
          parent)
{
}

Device::Device(const QString& portName, std::unique_ptr<LineTransport> line, QObject* parent)
    : QObject(parent), m_line(std::move(line)), m_portName(portName)
{
    // Children, so an event for them is known as this device's (its unit's log lines).
    m_recvTimer.setParent(this);
    m_staleTimer.setParent(this);
    initRecvTimer(1000);
    m_staleTimer.setSingleShot(true);
    m_staleTimer.setInterval(kStaleFrameMs);
    connect(&m_staleTimer, &QTimer::timeout, this,
            [this] { extractInline(FrameExtractor::Incomplete::GiveUp); });
    connect(m_line.get(), &LineTransport::lineLost, this, &Device::slot_lineLost);
    connect(m_line.get(), &LineTransport::bytesWritten, this, &Device::bytes_written);
}

Device::~Device()
{
    // A registry replacing a device must not leave a joinable thread behind.
    if (m_parseThread.joinable())
        stopParseThread();
    m_recvTimer.stop();
}

void Device::initRecvTimer(int intervalMs)
{
    m_recvTimer.stop();
    // A coarse timer may fire 5 % early; a time-out must not end before its time.
    m_recvTimer.setTimerType(Qt::PreciseTimer);
    m_recvTimer.setInterval(intervalMs);
    connect(&m_recvTimer, &QTimer::timeout, this, &Device::slot_recvTimer, Qt::UniqueConnection);
}

qint32 Device::baudRateFor(const QString& text)
{
    return SerialSettings::baudRateFor(text);
}

QSerialPort::DataBits Device::dataBitsFor(const QString& text)
{
    return SerialSettings::dataBitsFor(text);
}

QSerialPort::StopBits Device::stopBitsFor(const QString& text)
{
    return SerialSettings::stopBitsFor(text);
}

QSerialPort::Parity Device::parityFor(const QString& text)
{
    return SerialSettings::parityFor(text);
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
    static std::atomic<std::uint64_t> s_sessions{0};
    m_session = ++s_sessions;
    VLOG(1, QStringLiteral("Device Opened!"));
    return true;
}

bool Device::Close()
{
    m_session = 0;
    dropLineTiming();
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

qint64 Device::bytesToWrite() const
{
    return m_line->isOpen() ? m_line->bytesToWrite() : 0;
}

bool Device::waitForBytesWritten(int msecs)
{
    return m_line->isOpen() && m_line->waitForBytesWritten(msecs);
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
    if (m_observer)
        showToObserver(result);
    deliver(result);
}

void Device::deliver(const ExtractionResult& result)
{
    for (const ReceivedFrame& frame : result.frames) {
        emit recv_data(m_portName, frame.command, frame.content);
        // The timer belongs to the owner thread; ask it to stop there.
        if (m_recvTimerArmed.exchange(false))
            QMetaObject::invokeMethod(&m_recvTimer, "stop", Qt::QueuedConnection);
    }
    for (std::uint16_t crc : result.crcErrors)
        VLOG(1, FrameExtractor::crcErrorMessage(crc));
}

bool Device::SendData(bool isResponse, std::uint8_t cmd, std::unique_ptr<Data> data, int timeoutMs)
{
    if (!m_line->isOpen()) {
        VLOG(1, QStringLiteral("串口未打开!"));
        return false;
    }
    Frame frame(cmd, isResponse);
    frame.setAddress(wire::kAddress);
    frame.setData(std::move(data));
    frame.updateLength();
    return sendFrame(isResponse, cmd, frame.pack(), Discard::BufferOnly, timeoutMs);
}

bool Device::SendData(bool isResponse, std::uint8_t cmd, std::string data, int timeoutMs)
{
    if (!m_line->isOpen()) {
        VLOG(1, QStringLiteral("串口未打开!"));
        return false;
    }
    Frame frame(cmd, isResponse);
    frame.setAddress(wire::kAddress);
    if (frame.data())
        frame.data()->fromBytes(std::move(data));
    frame.updateLength();
    return sendFrame(isResponse, cmd, frame.pack(), Discard::BufferAndUnread, timeoutMs);
}

bool Device::sendReply(const UnitReply& reply)
{
    if (!m_line->isOpen()) {
        VLOG(1, QStringLiteral("串口未打开!"));
        return false;
    }
    Frame frame(reply.command, true);
    frame.setAddress(wire::kAddress);
    if (frame.data())
        frame.data()->fromBytes(reply.content.toStdString());
    frame.updateLength();
    QByteArray packed = frame.pack();
    // A content the reply's type does not carry (an acknowledgement a scenario gives bytes) goes
    // out as the unit meant it.
    const std::optional<FrameView> view = FrameView::of(packed);
    if (view && view->content() != reply.content)
        packed = FrameView::build(wire::kAddress, reply.command, reply.content);
    return sendFrame(true, reply.command, packed,
                     reply.discardsUnread() ? Discard::BufferAndUnread : Discard::BufferOnly, 0, &reply);
}

bool Device::sendFrame(bool isResponse, std::uint8_t cmd, const QByteArray& packed, Discard discard,
                       int timeoutMs, const UnitReply* reply)
{
    if (packed.isEmpty()) {
        VLOG(1, QStringLiteral("创建协议帧失败!"));
        return false;
    }
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        QByteArray cleared;
        cleared.swap(m_recvBuffer);
        if (discard == Discard::BufferAndUnread)
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
        VLOG(1, QStringLiteral("发送消息：%1").arg(commandName(cmd)));
        if (!m_writeFilter || !m_writeFilter(reply, packed))
            writeToLine(packed);
    }
    if (!isResponse) {
        m_recvTimerArmed = true;
        m_recvTimer.start(timeoutMs);
    }
    return true;
}

void Device::writeToLine(const QByteArray& bytes)
{
    if (!m_line->isOpen())
        return;
    if (!m_toPc && !m_lineNoise) {
        m_line->write(bytes);
        if (m_observer)
            m_observer->bytesSent(bytes);
        return;
    }
    // Shown as the unit handed them over: a capture keeps its frames whole and clean.
    if (m_observer)
        m_observer->bytesSent(bytes);
    QByteArray onLine = bytes;
    if (m_lineNoise)
        m_lineNoise(onLine);
    if (!m_toPc)
        m_line->write(onLine);
    else if (pacerTakes(*m_toPc, onLine, m_toPcOverflow))
        m_toPc->push(onLine);
}

bool Device::pacerTakes(LinePacer& pacer, const QByteArray& bytes, bool& overflowLogged)
{
    if (pacer.heldBytes() == 0)
        overflowLogged = false;
    if (pacer.heldBytes() + bytes.size() <= kMaxLineTimingBytes)
        return true;
    if (!overflowLogged) {
        overflowLogged = true;
        VLOG(1, QStringLiteral("line timing: %1 bytes still on their way at this rate; %2 more do not fit "
                               "and are dropped (one line until the backlog has left)")
                    .arg(pacer.heldBytes())
                    .arg(bytes.size()));
    }
    return false;
}

void Device::toTransport(const QByteArray& bytes)
{
    if (m_line->isOpen())
        m_line->write(bytes);
}

void Device::setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs)
{
    m_timing = timing;
    m_fallbackCharacterNs = fallbackCharacterNs;
    m_toPc.reset();
    m_fromPc.reset();
    m_adapter.reset();
    const auto characterNs = [this] {
        const qint64 own = m_line->characterNs();
        return own > 0 ? own : m_fallbackCharacterNs;
    };
    if (timing.hasAdapter())
        m_adapter = std::make_unique<UsbAdapterShaper>(
            timing.adapterPacketBytes, timing.adapterLatencyMs,
            [this](const QByteArray& b) { toTransport(b); }, this);
    if (timing.toPc || timing.hasAdapter())
        m_toPc = std::make_unique<LinePacer>(
            timing.toPc ? LinePacer::CharacterTime(characterNs) : LinePacer::CharacterTime(),
            [this](const QByteArray& b) {
                if (m_adapter)
                    m_adapter->push(b);
                else
                    toTransport(b);
            },
            this);
    if (timing.fromPc)
        m_fromPc = std::make_unique<LinePacer>(
            characterNs, [this](const QByteArray& b) { takeArrived(b); }, this);
}

qint64 Device::lineFreeAtNs() const
{
    return m_toPc ? m_toPc->lineFreeAtNs() : 0;
}

void Device::flushLineTiming()
{
    if (m_toPc)
        m_toPc->flush();
    if (m_adapter)
        m_adapter->flush();
}

void Device::dropLineTiming()
{
    if (m_toPc)
        m_toPc->clear();
    if (m_adapter)
        m_adapter->clear();
    if (m_fromPc)
        m_fromPc->clear();
}

void Device::setLineObserver(LineObserver* observer)
{
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    m_observer = observer;
}

void Device::showToObserver(const ExtractionResult& result)
{
    auto discarded = result.discarded.cbegin();
    for (std::size_t i = 0; i <= result.frames.size(); ++i) {
        for (; discarded != result.discarded.cend() && discarded->beforeFrame == i; ++discarded)
            m_observer->bytesDiscarded(discarded->bytes);
        if (i < result.frames.size())
            m_observer->frameReceived(result.frames[i].raw);
    }
}

void Device::slot_readData()
{
    // The port is not cleared afterwards: bytes arriving meanwhile belong to the next read.
    const QByteArray bytes = m_line->readAll();
    if (m_fromPc) {
        // On a cable they are still on their way.
        if (pacerTakes(*m_fromPc, bytes, m_fromPcOverflow))
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
    bool waiting = false;
    {
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_bytesArrived = false;
        if (m_recvBuffer.isEmpty())
            return;
        result = FrameExtractor::extract(m_recvBuffer, incomplete);
        if (m_observer)
            showToObserver(result);
        waiting = !m_recvBuffer.isEmpty();
    }
    // A candidate still incomplete is given up after a quiet spell; an empty buffer needs no timer.
    if (waiting && incomplete == FrameExtractor::Incomplete::Wait)
        m_staleTimer.start();
    else
        m_staleTimer.stop();
    // Outside the lock: a handler's reply clears the buffer.
    deliver(result);
}

void Device::slot_recvTimer()
{
    VLOG(1, QStringLiteral("接收消息超时!"));
    emit recv_timeout(m_portName);
    m_recvTimerArmed = false;
    if (m_recvTimer.isActive())
        m_recvTimer.stop();
}

void Device::slot_lineLost(QString reason)
{
    VLOG(1, QStringLiteral("串口错误：%1").arg(reason));
    m_session = 0;
    dropLineTiming();
    disconnect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData);
    m_staleTimer.stop();
    emit line_lost(m_portName);
}

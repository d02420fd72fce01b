#include "device/Device.h"

#include "data/Data.h"
#include "protocol/CommandCatalogue.h"
#include "device/Frame.h"
#include "protocol/FrameExtractor.h"
#include "device/LineObserver.h"
#include "device/LineProbe.h"
#include "device/SerialSettings.h"
#include "protocol/WireFormat.h"
#include "log/Log.h"

#include <chrono>
#ifdef Q_OS_LINUX
#include <pthread.h>
#endif

Device::Device(const QString& portName, const QString& baudRate, const QString& dataBits,
               const QString& stopBits, const QString& parity, QObject* parent)
    : QObject(parent), m_portName(portName), m_baudRate(baudRate), m_dataBits(dataBits), m_stopBits(stopBits),
      m_parity(parity)
{
    initRecvTimer(1000);
    connect(&m_port, &QSerialPort::errorOccurred, this, &Device::slot_errorOccurred);
    connect(&m_port, &QSerialPort::bytesWritten, this, &Device::bytes_written);
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
    m_port.setPortName(m_portName);
    m_watchPortErrors = false;
    if (!m_port.open(QIODevice::ReadWrite))
        return false;
    SerialSettings(m_baudRate, m_dataBits, m_stopBits, m_parity).applyTo(m_port);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setDataTerminalReady(true);
    m_port.readAll();
    m_port.clear(QSerialPort::AllDirections);
    {
        // Bytes of a line opened before (a reopen) belong to no request of this one.
        std::lock_guard<std::mutex> locker(m_bufferMutex);
        m_recvBuffer.clear();
    }
    connect(&m_port, &QSerialPort::readyRead, this, &Device::slot_readData, Qt::UniqueConnection);
    // Setting results are not examined (a pty refuses DTR); only later failures are reported.
    m_port.clearError();
    m_watchPortErrors = true;
    m_portErrorLogged = false;
    static std::atomic<std::uint64_t> s_sessions{0};
    m_session = ++s_sessions;
    VLOG(1, QStringLiteral("Device Opened!"));
    return true;
}

bool Device::Close()
{
    m_session = 0;
    if (m_port.isOpen()) {
        disconnect(&m_port, &QSerialPort::readyRead, this, &Device::slot_readData);
        m_port.readAll();
        m_port.clear(QSerialPort::AllDirections);
        m_port.close();
    }
    VLOG(1, QStringLiteral("Device Closed!"));
    return true;
}

bool Device::isOpen() const
{
    return m_port.isOpen();
}

QString Device::errorString() const
{
    return m_port.errorString();
}

qint64 Device::bytesToWrite() const
{
    return m_port.isOpen() ? m_port.bytesToWrite() : 0;
}

bool Device::waitForBytesWritten(int msecs)
{
    return m_port.isOpen() && m_port.waitForBytesWritten(msecs);
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
        const std::uint64_t append = m_appends;
        extractFrames(FrameExtractor::Incomplete::Wait);
        m_appendsParsed.store(append, std::memory_order_release);
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
    for (const ReceivedFrame& frame : result.frames) {
        emit recv_data(m_portName, frame.command, frame.content);
        // The timer belongs to the GUI thread; ask it to stop there.
        if (m_recvTimerArmed.exchange(false))
            QMetaObject::invokeMethod(&m_recvTimer, "stop", Qt::QueuedConnection);
    }
    for (std::uint16_t crc : result.crcErrors)
        VLOG(1, FrameExtractor::crcErrorMessage(crc));
}

bool Device::SendData(bool isResponse, std::uint8_t cmd, std::unique_ptr<Data> data, int timeoutMs)
{
    if (!m_port.isOpen()) {
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
    if (!m_port.isOpen()) {
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

bool Device::sendFrame(bool isResponse, std::uint8_t cmd, const QByteArray& packed, Discard discard,
                       int timeoutMs)
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
            cleared += m_port.readAll();
        if (m_observer && !cleared.isEmpty())
            m_observer->bytesDiscarded(cleared);
        // Only the input side: a reply still queued for the line must not be cut short.
        m_port.clear(QSerialPort::Input);
        // A hung-up line is noticed (and the port closed) by the calls above.
        if (!m_port.isOpen()) {
            VLOG(1, QStringLiteral("串口未打开!"));
            return false;
        }
        VLOG(1, QStringLiteral("发送消息：%1").arg(commandName(cmd)));
        if (!m_writeFilter || !m_writeFilter(packed))
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
    if (!m_port.isOpen())
        return;
    m_port.write(bytes);
    // Now, not on the event loop's next turn: a reply waits for nothing.
    m_port.flush();
    if (m_observer)
        m_observer->bytesSent(bytes);
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
    const QByteArray bytes = m_port.readAll();
    std::uint64_t append = 0;
    // The parse thread starts on the bytes while this thread writes the log line.
    if (!bytes.isEmpty()) {
        {
            std::lock_guard<std::mutex> locker(m_bufferMutex);
            m_recvBuffer.append(bytes);
            m_bytesArrived = true;
            append = ++m_appends;
        }
        m_bufferChanged.notify_one();
    }
    VLOG(1, QStringLiteral("Read Data!"));
    if (append != 0)
        awaitPass(append);
}

void Device::awaitPass(std::uint64_t append)
{
    // A pass takes microseconds. Staying awake for it means the frames it posts are handled
    // on this turn of the event loop, without the thread sleeping and being woken again;
    // the bound keeps a descheduled parse thread from holding up the GUI thread.
    constexpr auto kLongestWait = std::chrono::microseconds(300);
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    while (m_appendsParsed.load(std::memory_order_acquire) < append) {
        if (std::chrono::steady_clock::now() >= deadline)
            return;
        std::this_thread::yield();
    }
}

void Device::slot_recvTimer()
{
    VLOG(1, QStringLiteral("接收消息超时!"));
    emit recv_timeout(m_portName);
    m_recvTimerArmed = false;
    if (m_recvTimer.isActive())
        m_recvTimer.stop();
}

void Device::slot_errorOccurred(QSerialPort::SerialPortError error)
{
    if (!m_watchPortErrors || !m_port.isOpen() || error == QSerialPort::NoError ||
        error == QSerialPort::TimeoutError || error == QSerialPort::UnsupportedOperationError)
        return;
    // A full output queue (the data stays queued) or an empty read after our own input flush
    // is reported like a vanished line; only the line itself can tell them apart.
    const LineProbe::Verdict line = LineProbe::check(static_cast<std::intptr_t>(m_port.handle()));
    if (!line.gone) {
        m_port.clearError();
        rearmReading();
        return;
    }
    if (!m_portErrorLogged) {
        m_portErrorLogged = true;
        VLOG(1, QStringLiteral("串口错误：%1").arg(QString::fromLocal8Bit(line.reason.c_str())));
    }
    // Closed, or the port's read notifier would spin on the dead descriptor.
    m_watchPortErrors = false;
    m_session = 0;
    disconnect(&m_port, &QSerialPort::readyRead, this, &Device::slot_readData);
    m_port.close();
    emit line_lost(m_portName);
}

void Device::rearmReading()
{
    // A read notification that finds the input queue empty (our own input flush got there
    // first) reads 0 bytes; the port takes errno left over from a write the full line refused
    // (EAGAIN) as a vanished device and switches its read notifier off for good, though the
    // line is fine. Turned on again on the next turn of the loop, whichever order the port
    // reports and disables in; setting the read buffer size restarts the port's reading.
    if (m_rearmQueued)
        return;
    m_rearmQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_rearmQueued = false;
            if (m_port.isOpen() && m_watchPortErrors)
                m_port.setReadBufferSize(m_port.readBufferSize());
        },
        Qt::QueuedConnection);
}

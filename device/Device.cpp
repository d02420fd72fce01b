#include "device/Device.h"

#include "data/Data.h"
#include "device/CommandCatalogue.h"
#include "device/Frame.h"
#include "device/FrameExtractor.h"
#include "log/Log.h"

#include <chrono>

namespace {

constexpr std::uint16_t kSenderAddress = 0x1234;
constexpr auto kParsePollInterval = std::chrono::milliseconds(10);

} // namespace

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
    m_recvTimer.setInterval(intervalMs);
    connect(&m_recvTimer, &QTimer::timeout, this, &Device::slot_recvTimer, Qt::UniqueConnection);
}

qint32 Device::baudRateFor(const QString& text)
{
    static const char* const kRates[] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600"};
    for (const char* rate : kRates) {
        if (text == QLatin1String(rate))
            return text.toInt();
    }
    return QSerialPort::Baud115200;
}

QSerialPort::DataBits Device::dataBitsFor(const QString& text)
{
    if (text == QLatin1String("5"))
        return QSerialPort::Data5;
    if (text == QLatin1String("6"))
        return QSerialPort::Data6;
    if (text == QLatin1String("7"))
        return QSerialPort::Data7;
    return QSerialPort::Data8;
}

QSerialPort::StopBits Device::stopBitsFor(const QString& text)
{
    if (text == QLatin1String("1.5"))
        return QSerialPort::OneAndHalfStop;
    if (text == QLatin1String("2"))
        return QSerialPort::TwoStop;
    return QSerialPort::OneStop;
}

QSerialPort::Parity Device::parityFor(const QString& text)
{
    if (text == QLatin1String("Odd"))
        return QSerialPort::OddParity;
    if (text == QLatin1String("Even"))
        return QSerialPort::EvenParity;
    return QSerialPort::NoParity;
}

bool Device::Open()
{
    m_port.setPortName(m_portName);
    m_watchPortErrors = false;
    if (!m_port.open(QIODevice::ReadWrite))
        return false;
    m_port.setBaudRate(baudRateFor(m_baudRate), QSerialPort::AllDirections);
    m_port.setDataBits(dataBitsFor(m_dataBits));
    m_port.setStopBits(stopBitsFor(m_stopBits));
    m_port.setParity(parityFor(m_parity));
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setDataTerminalReady(true);
    m_port.readAll();
    m_port.clear(QSerialPort::AllDirections);
    connect(&m_port, &QSerialPort::readyRead, this, &Device::slot_readData, Qt::UniqueConnection);
    // Setting results are not examined (a pty refuses DTR); only later failures are reported.
    m_port.clearError();
    m_watchPortErrors = true;
    m_portErrorLogged = false;
    VLOG(1, QStringLiteral("Device Opened!"));
    return true;
}

bool Device::Close()
{
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
    m_running = false;
    if (m_parseThread.joinable())
        m_parseThread.join();
}

void Device::runParseThread()
{
    while (m_running) {
        {
            std::lock_guard<std::mutex> locker(m_bufferMutex);
            if (!m_recvBuffer.isEmpty()) {
                const ExtractionResult result = FrameExtractor::extract(m_recvBuffer);
                for (const ReceivedFrame& frame : result.frames) {
                    emit recv_data(m_portName, frame.command, frame.content);
                    // The timer belongs to the GUI thread; ask it to stop there.
                    if (m_recvTimerArmed.exchange(false))
                        QMetaObject::invokeMethod(&m_recvTimer, "stop", Qt::QueuedConnection);
                }
                for (std::uint16_t crc : result.crcErrors)
                    VLOG(1, FrameExtractor::crcErrorMessage(crc));
            }
        }
        std::this_thread::sleep_for(kParsePollInterval);
    }
}

bool Device::SendData(bool isResponse, std::uint8_t cmd, std::unique_ptr<Data> data, int timeoutMs)
{
    if (!m_port.isOpen()) {
        VLOG(1, QStringLiteral("串口未打开!"));
        return false;
    }
    Frame frame(cmd, isResponse);
    frame.setAddress(kSenderAddress);
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
    frame.setAddress(kSenderAddress);
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
        m_recvBuffer.clear();
        if (discard == Discard::BufferAndUnread)
            m_port.readAll();
        // Only the input side: a reply still queued for the line must not be cut short.
        m_port.clear(QSerialPort::Input);
        // A hung-up line is noticed (and the port closed) by the calls above.
        if (!m_port.isOpen()) {
            VLOG(1, QStringLiteral("串口未打开!"));
            return false;
        }
        VLOG(1, QStringLiteral("发送消息：%1").arg(commandName(cmd)));
        m_port.write(packed);
    }
    if (!isResponse) {
        m_recvTimerArmed = true;
        m_recvTimer.start(timeoutMs);
    }
    return true;
}

void Device::slot_readData()
{
    // The port is not cleared afterwards: bytes arriving meanwhile belong to the next read.
    const QByteArray bytes = m_port.readAll();
    VLOG(1, QStringLiteral("Read Data!"));
    std::lock_guard<std::mutex> locker(m_bufferMutex);
    m_recvBuffer.append(bytes);
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
    if (!m_portErrorLogged) {
        m_portErrorLogged = true;
        VLOG(1, QStringLiteral("串口错误：%1").arg(m_port.errorString()));
    }
    // The adapter or the pty's other end is gone (a hung-up pty reads as end of file):
    // close, or the port's read notifier would spin on the dead descriptor.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
        error == QSerialPort::WriteError) {
        disconnect(&m_port, &QSerialPort::readyRead, this, &Device::slot_readData);
        m_port.close();
    }
}

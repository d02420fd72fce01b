#include "device/Device.h"

#include "log/Log.h"
#include "protocol/CommandCatalogue.h"
#include "transport/LineObserver.h"
#include "transport/LinePacer.h"
#include "transport/LineTransport.h"

Device::Device(const QString& portName, std::unique_ptr<LineTransport> line, QObject* parent)
    : QObject(parent), m_line(std::move(line)), m_portName(portName), m_reader(this),
      m_writer(m_line.get(), this)
{
    connect(m_line.get(), &LineTransport::lineLost, this, &Device::slot_lineLost);
    connect(&m_writer, &LineWriter::message, this, [](const QString& text) { VLOG(1, text); });
}

Device::~Device() = default;

bool Device::Open()
{
    if (!m_line->open())
        return false;
    // Bytes of a line opened before (a reopen) belong to no request of this one.
    m_reader.clear();
    connect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData, Qt::UniqueConnection);
    VLOG(1, QStringLiteral("Device Opened!"));
    return true;
}

bool Device::Close()
{
    endSession();
    disconnect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData);
    m_reader.lineEnded();
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
    m_reader.discardUncut(discardUnread ? m_line->readAll() : QByteArray());
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
            [this](const QByteArray& b) { m_reader.take(b); }, this);
}

void Device::endSession()
{
    m_writer.endSession();
    if (m_fromPc)
        m_fromPc->clear();
}

void Device::setLineObserver(LineObserver* observer)
{
    m_reader.setObserver(observer);
    m_writer.setObserver(observer);
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
    // Logged before the requests in them are handled, as the unit's lines follow it.
    VLOG(1, QStringLiteral("Read Data!"));
    m_reader.take(bytes);
}

void Device::slot_lineLost(QString reason)
{
    VLOG(1, QStringLiteral("串口错误：%1").arg(reason));
    endSession();
    disconnect(m_line.get(), &LineTransport::readyRead, this, &Device::slot_readData);
    m_reader.lineEnded();
    emit line_lost(m_portName);
}

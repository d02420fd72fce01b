#include "service/SetupService.h"

#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "log/Log.h"
#include "protocol/FrameView.h"
#include "protocol/WireFormat.h"
#include "unit/EmulatedUnit.h"

#include <QEventLoop>
#include <QTimer>

namespace {

Device* currentDevice()
{
    return DeviceRegistry::instance()->currentDevice();
}

} // namespace

SetupService* SetupService::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static SetupService* const s_instance = new SetupService;
    return s_instance;
}

SetupService::SetupService() : m_unit(new EmulatedUnit(this))
{
    m_unit->setReplyChannel([](const UnitReply& reply) {
        Device* device = currentDevice();
        if (!device) {
            VLOG(1, QStringLiteral("串口尚未打开!"));
            return;
        }
        const QByteArray frame = FrameView::build(wire::kAddress, reply.command, reply.content);
        if (device->readyForReply(reply.command, frame, reply.discardsUnread()))
            device->writer()->write(frame);
    });
    m_unit->setLineFinder([]() -> LineWriter* {
        Device* device = currentDevice();
        return device ? device->writer() : nullptr;
    });
    connect(m_unit, &EmulatedUnit::upload_progress, this, &SetupService::upload_progress);
    connect(m_unit, &EmulatedUnit::upload_ended, this, &SetupService::upload_ended);
}

int SetupService::maxSendRecordCount()
{
    return instance()->m_unit->recordCount();
}

bool SetupService::isSending() const
{
    return m_unit->isSending();
}

bool SetupService::isUploading() const
{
    return m_unit->isUploading();
}

void SetupService::endUploads()
{
    m_unit->endUploads();
}

void SetupService::setScenario(const UnitState& unit, const RecordSource& records)
{
    m_unit->setScenario(unit, records);
}

const UnitState& SetupService::unitState() const
{
    return m_unit->unitState();
}

void SetupService::slot_recvData(QString portName, unsigned char cmd, QByteArray data)
{
    m_unit->handleRequest(portName, cmd, data);
}

void SetupService::slot_recvTimeout(QString)
{
    // Replies never start the device's receive timer, so there is nothing to wait for.
}

void SetupService::slot_stopSend()
{
    m_unit->stopUpload();
}

void SetupService::slot_maxSendRecordCountChanged(int count)
{
    m_unit->setRecordCount(count);
}

void SetupService::waitProcessingEvents(int ms)
{
    QEventLoop loop;
    QTimer t;
    t.setSingleShot(true);
    t.setTimerType(Qt::PreciseTimer);
    connect(&t, &QTimer::timeout, &loop, &QEventLoop::quit);
    t.start(ms);
    loop.exec();
}

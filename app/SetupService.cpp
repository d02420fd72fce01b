#include "app/SetupService.h"

#include "unit/EmulatedUnit.h"

#include <QEventLoop>
#include <QTimer>

SetupService* SetupService::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static SetupService* const s_instance = new SetupService;
    return s_instance;
}

SetupService::SetupService() : m_unit(new EmulatedUnit(this))
{
    // The unit answers through the window's session, which gives it its line.
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
    UnitRequest request;
    request.command = cmd;
    request.content = data;
    m_unit->handleRequest(portName, request);
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

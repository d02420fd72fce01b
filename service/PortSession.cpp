#include "service/PortSession.h"

#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "device/PortLockHolder.h"
#include "service/SetupService.h"

#include <QDeadlineTimer>
#include <QThread>

namespace {

constexpr qint64 kLingerMs = 100;

} // namespace

PortSession::PortSession(QObject* parent) : QObject(parent) {}

PortSession::~PortSession()
{
    close();
}

void PortSession::setRequestGate(QObject* gate, RequestHandler handler)
{
    m_gate = gate;
    m_gateHandler = gate ? std::move(handler) : RequestHandler();
}

void PortSession::setEndHook(QObject* owner, EndHook hook)
{
    m_endHookOwner = owner;
    m_endHook = owner ? std::move(hook) : EndHook();
}

bool PortSession::open(const Settings& settings)
{
    if (m_device)
        return false;
    auto* device = new Device(settings.portName, settings.baudRate, settings.dataBits, settings.stopBits,
                              settings.parity);
    SetupService* service = SetupService::instance();
    if (m_gate && m_gateHandler)
        connect(device, &Device::recv_data, m_gate.data(), m_gateHandler);
    else
        connect(device, &Device::recv_data, service, &SetupService::slot_recvData);
    connect(device, &Device::recv_timeout, service, &SetupService::slot_recvTimeout);
    device->setLineObserver(m_observer);
    if (!device->Open()) {
        // A port locked by another program says by which, not "Permission error while locking".
        m_lastError = PortLockHolder::openErrorReason(settings.portName, device->errorString(),
                                                      device->portError() == QSerialPort::PermissionError);
        delete device; // its connections go with it
        return false;
    }
    DeviceRegistry::instance()->addDevice(settings.portName, device);
    device->startParseThread();
    m_device = device;
    m_portName = settings.portName;
    m_lastError.clear();
    return true;
}

void PortSession::setLineObserver(LineObserver* observer)
{
    m_observer = observer;
    if (m_device)
        m_device->setLineObserver(observer);
}

void PortSession::close()
{
    if (!m_device)
        return;
    Device* device = DeviceRegistry::instance()->findDevice(m_portName);
    if (device == m_device) {
        device->stopParseThread();
        device->setLineObserver(nullptr);
        disconnect(device, nullptr, SetupService::instance(), nullptr);
        if (m_gate)
            disconnect(device, nullptr, m_gate.data(), nullptr);
        device->Close();
        DeviceRegistry::instance()->removeDevice(m_portName);
    }
    m_device = nullptr;
}

void PortSession::endUploadsAndClose(int flushBoundMs)
{
    if (!m_device)
        return;
    SetupService* service = SetupService::instance();
    const bool uploading = service->isUploading();
    service->endUploads();
    Device* device = DeviceRegistry::instance()->findDevice(m_portName);
    if (device == m_device && m_endHookOwner && m_endHook)
        m_endHook(device);
    if (uploading && device == m_device) {
        // Closing discards what Qt still buffers; a peer that stops reading cannot hold us past the bound.
        const QDeadlineTimer bound(flushBoundMs);
        while (device->isOpen() && device->bytesToWrite() > 0 && !bound.hasExpired()) {
            if (!device->waitForBytesWritten(int(qMax<qint64>(1, bound.remainingTime()))))
                break;
        }
        // Closing also flushes the line's own queues (a pty's other end loses what it has
        // not read yet), so the end frame gets a moment on the line first.
        if (device->isOpen() && !bound.hasExpired())
            QThread::msleep(static_cast<unsigned long>(qMin<qint64>(kLingerMs, bound.remainingTime())));
    }
    close();
}

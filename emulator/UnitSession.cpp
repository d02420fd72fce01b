#include "emulator/UnitSession.h"

#include "device/Device.h"
#include "device/DeviceRegistry.h"
#include "transport/LineTransport.h"
#include "unit/EmulatedUnit.h"

#include <QDeadlineTimer>
#include <QThread>

namespace {

constexpr qint64 kLingerMs = 100;

} // namespace

UnitSession::UnitSession(EmulatedUnit* unit, QObject* parent) : QObject(parent), m_unit(unit)
{
    if (!m_unit) {
        m_ownUnit = std::make_unique<EmulatedUnit>();
        m_unit = m_ownUnit.get();
    }
    // Replies go out on this session's line, whichever device another session has open.
    m_unit->setReplyChannel([this](const UnitReply& reply) {
        if (m_device)
            m_device->sendReply(reply);
    });
    m_unit->setLineFinder([this] { return m_device; });
    FaultInjector::Target target;
    target.deliver = [this](QString portName, unsigned char cmd, QByteArray data, std::uint64_t request) {
        ++m_requests;
        m_unit->handleRequest(portName, cmd, data, request);
    };
    target.device = [this] { return m_device; };
    target.endUploads = [this] { m_unit->endUploads(); };
    m_faults.setTarget(std::move(target));
    connect(m_unit, &EmulatedUnit::upload_ended, &m_faults, &FaultInjector::slot_uploadEnded);
}

UnitSession::~UnitSession()
{
    close();
}

bool UnitSession::open(const Settings& settings)
{
    if (m_device)
        return false;
    auto* device = new Device(settings.portName, settings.baudRate, settings.dataBits, settings.stopBits,
                              settings.parity);
    if (!start(device, true, settings.parseThread))
        return false;
    m_portName = settings.portName;
    return true;
}

bool UnitSession::open(const QString& name, std::unique_ptr<LineTransport> line)
{
    if (m_device)
        return false;
    m_ownDevice = std::make_unique<Device>(name, std::move(line));
    if (!start(m_ownDevice.get(), false, false)) {
        m_ownDevice.reset();
        return false;
    }
    m_portName = name;
    return true;
}

bool UnitSession::start(Device* device, bool registered, bool parseThread)
{
    connect(device, &Device::recv_data, &m_faults, &FaultInjector::slot_recvData);
    device->setLineObserver(m_observer);
    if (!device->Open()) {
        m_lastError = device->errorString();
        if (registered)
            delete device; // its connections go with it
        return false;
    }
    if (registered)
        DeviceRegistry::instance()->addDevice(device->portName(), device);
    if (parseThread)
        device->startParseThread();
    m_device = device;
    m_registered = registered;
    m_lastError.clear();
    return true;
}

void UnitSession::setLineObserver(LineObserver* observer)
{
    m_observer = observer;
    if (m_device)
        m_device->setLineObserver(observer);
}

void UnitSession::close()
{
    if (!m_device)
        return;
    Device* device = m_device;
    m_device = nullptr;
    if (m_registered && DeviceRegistry::instance()->findDevice(m_portName) != device)
        return; // the registry let it go already
    device->stopParseThread();
    device->setLineObserver(nullptr);
    disconnect(device, nullptr, &m_faults, nullptr);
    device->Close();
    if (m_registered)
        DeviceRegistry::instance()->removeDevice(m_portName);
    else
        m_ownDevice.reset();
}

void UnitSession::endUploadsAndClose(int flushBoundMs)
{
    if (!m_device)
        return;
    const bool uploading = m_unit->isUploading();
    m_unit->endUploads();
    Device* device = m_device;
    // Held-back frames (a delayed start frame among them) go now, ahead of the end frame's drain.
    m_faults.flushPending(device);
    if (uploading && device) {
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

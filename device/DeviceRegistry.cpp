#include "device/DeviceRegistry.h"

#include "device/Device.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

DeviceRegistry* DeviceRegistry::instance()
{
    static std::atomic<DeviceRegistry*> s_instance{nullptr};
    static QMutex s_mutex;
    DeviceRegistry* registry = s_instance.load(std::memory_order_acquire);
    if (!registry) {
        QMutexLocker locker(&s_mutex);
        registry = s_instance.load(std::memory_order_relaxed);
        if (!registry) {
            registry = new DeviceRegistry;
            s_instance.store(registry, std::memory_order_release);
        }
    }
    return registry;
}

DeviceRegistry::~DeviceRegistry()
{
    qDeleteAll(m_devices);
}

void DeviceRegistry::addDevice(const QString& portName, Device* device)
{
    Device* previous = m_devices.take(portName);
    if (previous != device)
        delete previous;
    m_devices.insert(portName, device);
}

Device* DeviceRegistry::findDevice(const QString& portName) const
{
    return m_devices.value(portName, nullptr);
}

Device* DeviceRegistry::currentDevice() const
{
    return findDevice(QString::fromStdString(m_portName));
}

void DeviceRegistry::removeDevice(const QString& portName)
{
    delete m_devices.take(portName);
}

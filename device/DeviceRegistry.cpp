#include "device/DeviceRegistry.h"

#include "device/Device.h"

DeviceRegistry* DeviceRegistry::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static DeviceRegistry* const s_instance = new DeviceRegistry;
    return s_instance;
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

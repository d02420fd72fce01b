#include "app/DeviceRegistry.h"

#include "device/Device.h"
#include "emulator/UnitSession.h"

DeviceRegistry* DeviceRegistry::instance()
{
    // Created on first use and kept for the process; the language makes the first
    // creation thread-safe (test, lock, test again, create).
    static DeviceRegistry* const s_instance = new DeviceRegistry;
    return s_instance;
}

Device* DeviceRegistry::currentDevice() const
{
    return m_session ? m_session->device() : nullptr;
}

Device* DeviceRegistry::findDevice(const QString& portName) const
{
    Device* device = currentDevice();
    return device && device->portName() == portName ? device : nullptr;
}

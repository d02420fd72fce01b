#pragma once

#include <QMap>
#include <QString>

#include <string>

class Device;

// The open devices by port name and the serial settings the operator selected.
// GUI thread only; the registry owns every registered device.
class DeviceRegistry
{
public:
    static DeviceRegistry* instance();

    // Public so tests can own an independent registry; the system uses instance().
    DeviceRegistry() = default;
    ~DeviceRegistry();
    DeviceRegistry(const DeviceRegistry&) = delete;
    DeviceRegistry& operator=(const DeviceRegistry&) = delete;

    void addDevice(const QString& portName, Device* device);
    Device* findDevice(const QString& portName) const;
    Device* currentDevice() const;
    void removeDevice(const QString& portName);

    void setPortName(const std::string& portName) { m_portName = portName; }
    void setBaudRate(const std::string& baudRate) { m_baudRate = baudRate; }
    void setDataBits(const std::string& dataBits) { m_dataBits = dataBits; }
    void setStopBits(const std::string& stopBits) { m_stopBits = stopBits; }
    void setParity(const std::string& parity) { m_parity = parity; }

    const std::string& portName() const { return m_portName; }
    const std::string& baudRate() const { return m_baudRate; }
    const std::string& dataBits() const { return m_dataBits; }
    const std::string& stopBits() const { return m_stopBits; }
    const std::string& parity() const { return m_parity; }

private:
    QMap<QString, Device*> m_devices;
    std::string m_portName;
    std::string m_baudRate;
    std::string m_dataBits;
    std::string m_stopBits;
    std::string m_parity;
};

#pragma once

#include <QString>

#include <string>

class Device;
class UnitSession;

// The window's view of its line: the serial settings the operator selected and the one
// session that opens them. GUI thread only; it owns neither.
class DeviceRegistry
{
public:
    static DeviceRegistry* instance();

    // Public so tests can own an independent registry; the system uses instance().
    DeviceRegistry() = default;
    DeviceRegistry(const DeviceRegistry&) = delete;
    DeviceRegistry& operator=(const DeviceRegistry&) = delete;

    // The window's session; nullptr when it goes. Not owned.
    void setSession(UnitSession* session) { m_session = session; }
    // The session's device while its line is open, else nullptr.
    Device* currentDevice() const;
    // The same, when it is open on that port.
    Device* findDevice(const QString& portName) const;

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
    UnitSession* m_session = nullptr;
    std::string m_portName;
    std::string m_baudRate;
    std::string m_dataBits;
    std::string m_stopBits;
    std::string m_parity;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One sensor of the sensor-mode parameters: name (10 bytes), value (4 bytes big-endian, signed).
class SensorModeParam
{
public:
    static constexpr std::size_t kWireSize = 14;

    SensorModeParam() = default;
    SensorModeParam(std::string name, std::int32_t value);
    SensorModeParam(const SensorModeParam&) = default;
    SensorModeParam(SensorModeParam&&) = default;
    SensorModeParam& operator=(const SensorModeParam&) = default;
    SensorModeParam& operator=(SensorModeParam&&) = default;
    virtual ~SensorModeParam() = default;

    const std::string& name() const { return m_name; }
    std::int32_t value() const { return m_value; }
    void setName(std::string name);
    void setValue(std::int32_t value) { m_value = value; }

    void appendTo(std::string& out) const;
    // The entry at pos; the input must hold kWireSize bytes from pos.
    static SensorModeParam readAt(const std::string& bytes, std::size_t pos);

private:
    std::string m_name;
    std::int32_t m_value = 0;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One wrench of the torque-mode parameters: name (10 bytes), coefficient (4 bytes
// big-endian, signed), delay time (1 byte).
class TorqueModeParam
{
public:
    static constexpr std::size_t kWireSize = 15;

    TorqueModeParam() = default;
    TorqueModeParam(std::string name, std::int32_t coefficient, std::uint8_t delayTime);
    TorqueModeParam(const TorqueModeParam&) = default;
    TorqueModeParam(TorqueModeParam&&) = default;
    TorqueModeParam& operator=(const TorqueModeParam&) = default;
    TorqueModeParam& operator=(TorqueModeParam&&) = default;
    virtual ~TorqueModeParam() = default;

    const std::string& name() const { return m_name; }
    std::int32_t coefficient() const { return m_coefficient; }
    std::uint8_t delayTime() const { return m_delayTime; }
    void setName(std::string name);
    void setCoefficient(std::int32_t coefficient) { m_coefficient = coefficient; }
    void setDelayTime(std::uint8_t delayTime) { m_delayTime = delayTime; }

    void appendTo(std::string& out) const;
    // The entry at pos; the input must hold kWireSize bytes from pos.
    static TorqueModeParam readAt(const std::string& bytes, std::size_t pos);

private:
    std::string m_name;
    std::int32_t m_coefficient = 0;
    std::uint8_t m_delayTime = 0;
};

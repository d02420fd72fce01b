#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One gear of the gear-mode parameters: level (1 byte), pressure (4 bytes big-endian, unsigned).
class GearModeParam
{
public:
    static constexpr std::size_t kWireSize = 5;

    GearModeParam() = default;
    GearModeParam(std::uint8_t level, std::uint32_t pressure);
    GearModeParam(const GearModeParam&) = default;
    GearModeParam(GearModeParam&&) = default;
    GearModeParam& operator=(const GearModeParam&) = default;
    GearModeParam& operator=(GearModeParam&&) = default;
    virtual ~GearModeParam() = default;

    std::uint8_t level() const { return m_level; }
    std::uint32_t pressure() const { return m_pressure; }
    void setLevel(std::uint8_t level) { m_level = level; }
    void setPressure(std::uint32_t pressure) { m_pressure = pressure; }

    void appendTo(std::string& out) const;
    // The entry at pos; the input must hold kWireSize bytes from pos.
    static GearModeParam readAt(const std::string& bytes, std::size_t pos);

private:
    std::uint8_t m_level = 0;
    std::uint32_t m_pressure = 0;
};

#pragma once

#include "data/Data.h"

// The fallback settings: angle (unsigned 16-bit, 2 bytes big-endian), current (1 byte).
class FallbackStructData : public Data
{
public:
    explicit FallbackStructData(std::uint16_t angle = 0, std::uint8_t current = 0);

    std::uint16_t angle() const { return m_angle; }
    std::uint8_t current() const { return m_current; }
    void setAngle(std::uint16_t angle) { m_angle = angle; }
    void setCurrent(std::uint8_t current) { m_current = current; }

    std::int32_t length() const override;
    // "angle: 300, ampere: 2": the current is shown divided by 10, rounded down.
    std::string toString() const override;
    std::string toBytes() const override;
    // Fewer than 3 bytes: false, the value is kept. Further bytes are ignored.
    bool fromBytes(std::string bytes) override;

private:
    std::uint16_t m_angle = 0;
    std::uint8_t m_current = 0;
};

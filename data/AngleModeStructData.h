#pragma once

#include "data/Data.h"

// The angle-mode parameters: the maximum angle, signed 16-bit, 2 bytes big-endian.
class AngleModeStructData : public Data
{
public:
    explicit AngleModeStructData(std::int16_t angle = 0);

    std::int16_t angle() const { return m_angle; }
    void setAngle(std::int16_t angle) { m_angle = angle; }

    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    // Fewer than 2 bytes: false, the value is kept. Further bytes are ignored.
    bool fromBytes(std::string bytes) override;

private:
    std::int16_t m_angle = 0;
};

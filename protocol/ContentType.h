#pragma once

#include <cstdint>

// Content-type ids as the factory and the frame's content table know them.
enum class ContentType : std::int32_t
{
    Null = 0,
    DateTime = 1,
    Integer = 2,
    String = 3,
    Struct = 4,
    TorqueMode = 5,
    BoltMode = 6,
    AngleMode = 7,
    GearMode = 8,
    SensorMode = 9,
    Fallback = 10,
};

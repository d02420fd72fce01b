#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// The content of one frame: the bytes between the length field and the checksum.
// Invariant: length() == toBytes().size(). Decoders report bad input by returning
// false; they never throw and never read past their input.
class Data
{
public:
    virtual ~Data() = default;

    virtual std::unique_ptr<Data> clone() const = 0;
    virtual void assign(const Data& other) = 0;
    virtual void copyFrom(const Data& other) = 0;
    virtual std::int32_t length() const = 0;
    virtual std::string toString() const = 0;
    virtual std::string toBytes() const = 0;
    virtual std::string toHex() const = 0;
    virtual bool fromBytes(std::string bytes) = 0;

protected:
    Data() = default;
    Data(const Data&) = default;
    Data& operator=(const Data&) = default;
};

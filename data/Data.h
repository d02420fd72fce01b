#pragma once

#include "protocol/ContentType.h"

#include <cstdint>
#include <memory>
#include <string>

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

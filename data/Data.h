#pragma once

#include "protocol/ContentType.h"
#include "util/Conversions.h"

#include <cstdint>
#include <string>

// The content of one frame: the bytes between the length field and the checksum.
// Invariant: length() == toBytes().size(). Decoders report bad input by returning
// false; they never throw and never read past their input.
class Data
{
public:
    virtual ~Data() = default;

    virtual std::int32_t length() const = 0;
    virtual std::string toString() const = 0;
    virtual std::string toBytes() const = 0;
    virtual bool fromBytes(std::string bytes) = 0;

    // toBytes() as upper-case hex, two digits a byte.
    std::string toHex() const { return util::bytesToHex(toBytes()); }

protected:
    Data() = default;
    Data(const Data&) = default;
    Data& operator=(const Data&) = default;
};

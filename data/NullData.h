#pragma once

#include "data/Data.h"

// The content of a frame that carries no data: length 0, no bytes.
class NullData : public Data
{
public:
    NullData() = default;

    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    bool fromBytes(std::string bytes) override;
};

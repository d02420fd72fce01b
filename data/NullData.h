#pragma once

#include "data/Data.h"

// The content of a frame that carries no data: length 0, no bytes.
class NullData : public Data
{
public:
    NullData() = default;

    std::unique_ptr<Data> clone() const override;
    void assign(const Data& other) override;
    void copyFrom(const Data& other) override;
    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    std::string toHex() const override;
    bool fromBytes(std::string bytes) override;
};

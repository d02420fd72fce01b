#pragma once

#include "data/Data.h"

#include <utility>

// One byte string of any length, carried unchanged: no prefix, no terminator.
class StringData : public Data
{
public:
    explicit StringData(std::string value = {});

    const std::string& value() const { return m_value; }
    void setValue(std::string value) { m_value = std::move(value); }

    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    bool fromBytes(std::string bytes) override;

private:
    std::string m_value;
};

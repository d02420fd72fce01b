#pragma once

#include "data/Data.h"

// One signed 32-bit integer, 4 bytes big-endian on the wire.
class IntegerData : public Data
{
public:
    explicit IntegerData(std::int32_t value = 0);

    std::int32_t value() const { return m_value; }
    void setValue(std::int32_t value) { m_value = value; }

    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    // Fewer than 4 bytes: false, the value is kept. Bytes after the fourth are ignored.
    bool fromBytes(std::string bytes) override;

private:
    std::int32_t m_value = 0;
};

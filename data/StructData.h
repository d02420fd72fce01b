#pragma once

#include "data/Data.h"
#include "data/Param.h"

#include <vector>

// The generic structured content: a type byte, a 2-byte big-endian field count and
// the fields as 14-byte records (10-byte name, 4-byte value). length() = 3 + 14 * n.
class StructData : public Data
{
public:
    static constexpr std::int32_t kCountWidth = 2;

    StructData() = default;

    std::uint8_t type() const { return m_type; }
    void setType(std::uint8_t type) { m_type = type; }
    const std::vector<Param>& fields() const { return m_fields; }
    void addField(Param field);
    void clearFields() { m_fields.clear(); }

    std::int32_t length() const override;
    std::string toString() const override;
    std::string toBytes() const override;
    // Appends the fields read to the list. Input shorter than the header: false, nothing
    // changed; shorter than the fields its count announces: false, only the type is set.
    bool fromBytes(std::string bytes) override;

private:
    std::uint8_t m_type = 0;
    std::vector<Param> m_fields;
};

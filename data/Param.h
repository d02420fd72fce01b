#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One named field of a StructData: a 10-byte name and a signed 32-bit value on the wire.
class Param
{
public:
    static constexpr std::size_t kWireSize = 14;

    Param() = default;
    Param(std::string name, std::int32_t value);
    Param(const Param&) = default;
    Param(Param&&) = default;
    Param& operator=(const Param&) = default;
    Param& operator=(Param&&) = default;
    virtual ~Param() = default;

    const std::string& name() const { return m_name; }
    std::int32_t value() const { return m_value; }
    void setName(std::string name);
    void setValue(std::int32_t value) { m_value = value; }

    // Name (first 10 bytes, zero-padded), then the value big-endian.
    void appendTo(std::string& out) const;
    // The entry at pos; the input must hold kWireSize bytes from pos.
    static Param readAt(const std::string& bytes, std::size_t pos);

private:
    std::string m_name;
    std::int32_t m_value = 0;
};

#pragma once

#include "data/Data.h"
#include "protocol/WireFormat.h"

#include <QByteArray>

#include <cstdint>
#include <memory>
#include <string>

// One outgoing protocol frame: header, address, command, length, content, checksum.
class Frame
{
public:
    static constexpr std::uint16_t kSenderAddress = wire::kAddress;

    Frame(std::uint8_t command, bool response);
    virtual ~Frame();

    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Content class for a command in one direction; the key is (response << 7) | (command & 0x7F).
    static ContentType contentTypeFor(std::uint8_t command, bool response);

    std::uint16_t header() const { return m_header; }
    std::uint16_t address() const { return m_address; }
    void setAddress(std::uint16_t address) { m_address = address; }
    std::uint8_t command() const { return m_command; }
    std::uint16_t length() const { return m_length; }
    std::int32_t contentTypeId() const { return m_contentTypeId; }
    bool isResponse() const { return m_response; }
    const Data* data() const { return m_data.get(); }
    Data* data() { return m_data.get(); }

    void setData(std::unique_ptr<Data> data);
    void updateLength();

    // Wire bytes; empty when the content is too long for the 16-bit length field.
    QByteArray pack() const;

private:
    std::string contentBytes() const;

    std::uint16_t m_header = wire::kHeader;
    std::uint16_t m_address = 0;
    std::uint8_t m_command;
    std::uint16_t m_length = 0;
    std::int32_t m_contentTypeId;
    std::unique_ptr<Data> m_data;
    bool m_response;
};

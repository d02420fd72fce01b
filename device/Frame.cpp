#include "device/Frame.h"

#include "data/DataFactory.h"
#include "device/Crc16.h"

#include <limits>

namespace {

constexpr int kMaxLengthField = std::numeric_limits<std::uint16_t>::max();

// A length that does not fit the field is kept out of range so that pack() refuses it.
std::uint16_t lengthFieldFor(const Data* data)
{
    if (!data)
        return 0;
    const std::int32_t length = data->length();
    if (length <= 0)
        return 0;
    return static_cast<std::uint16_t>(length > kMaxLengthField ? kMaxLengthField : length);
}

void appendU16(QByteArray& out, std::uint16_t value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xFF));
}

} // namespace

Frame::Frame(std::uint8_t command, bool response)
    : m_command(command), m_contentTypeId(static_cast<std::int32_t>(contentTypeFor(command, response))),
      m_data(DataFactory::instance()->create(m_contentTypeId)), m_response(response)
{
}

Frame::~Frame() = default;

ContentType Frame::contentTypeFor(std::uint8_t command, bool response)
{
    const unsigned key = (response ? 0x80u : 0u) | (command & 0x7Fu);
    switch (key) {
    case 0x01:
    case 0x82:
        return ContentType::DateTime;
    case 0x03:
    case 0x05:
    case 0x07:
    case 0x09:
    case 0x0A:
    case 0x0F:
    case 0x84:
    case 0x86:
    case 0x88:
    case 0x8C:
    case 0x90:
        return ContentType::String;
    case 0x0B:
        return ContentType::Integer;
    case 0x0E:
        return ContentType::Fallback;
    case 0x11:
        return ContentType::TorqueMode;
    case 0x12:
        return ContentType::BoltMode;
    case 0x13:
        return ContentType::AngleMode;
    case 0x14:
        return ContentType::GearMode;
    case 0x15:
        return ContentType::SensorMode;
    default:
        return ContentType::Null;
    }
}

void Frame::setData(std::unique_ptr<Data> data)
{
    m_data = std::move(data);
    updateLength();
}

void Frame::updateLength()
{
    m_length = lengthFieldFor(m_data.get());
}

std::string Frame::contentBytes() const
{
    if (!m_data || m_length == 0)
        return {};
    return m_data->toBytes();
}

QByteArray Frame::pack() const
{
    const std::string content = contentBytes();
    // The length field always counts the bytes actually written, so a stale length cannot
    // desynchronise the receiver; content that does not fit 16 bits cannot be framed at all.
    if (content.size() > static_cast<std::size_t>(kMaxLengthField))
        return {};
    const int contentSize = static_cast<int>(content.size());
    QByteArray out;
    out.reserve(kOverheadSize + contentSize);
    appendU16(out, m_header);
    appendU16(out, m_address);
    out.append(static_cast<char>(m_command));
    appendU16(out, static_cast<std::uint16_t>(contentSize));
    out.append(content.data(), contentSize);
    appendU16(out, crc16(out));
    return out;
}

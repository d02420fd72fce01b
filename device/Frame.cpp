#include "device/Frame.h"

#include "data/DataFactory.h"
#include "device/CommandCatalogue.h"
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
    // The top bit is no part of the key's code, so a request 0x82 reads as 0x02.
    const CommandCatalogue::Entry* entry = CommandCatalogue::find(command & 0x7F);
    if (!entry)
        return ContentType::Null;
    return response ? entry->responseContent : entry->requestContent;
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
    out.reserve(wire::kOverheadSize + contentSize);
    appendU16(out, m_header);
    appendU16(out, m_address);
    out.append(static_cast<char>(m_command));
    appendU16(out, static_cast<std::uint16_t>(contentSize));
    out.append(content.data(), contentSize);
    appendU16(out, crc16(out));
    return out;
}

#include "device/Frame.h"

#include "data/DataFactory.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"

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
    return FrameView::build(m_address, m_command, content.data(), content.size());
}

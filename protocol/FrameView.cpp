#include "protocol/FrameView.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/Crc16.h"
#include "protocol/RecordLayout.h"
#include "util/Conversions.h"

#include <limits>

namespace {

const std::uint8_t* bytesOf(const QByteArray& frame)
{
    return reinterpret_cast<const std::uint8_t*>(frame.constData());
}

void appendU16(QByteArray& out, std::uint16_t value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xFF));
}

} // namespace

FrameView::Fault FrameView::check(const std::uint8_t* bytes, std::size_t size)
{
    if (size < static_cast<std::size_t>(wire::kOverheadSize))
        return Fault::TooShort;
    if (bytes[0] != wire::kHeaderHigh || bytes[1] != wire::kHeaderLow)
        return Fault::WrongHeader;
    const std::size_t length = util::makeU16(bytes[wire::kLengthOffset], bytes[wire::kLengthOffset + 1]);
    if (size != wire::kOverheadSize + length)
        return Fault::WrongLength;
    return Fault::None;
}

FrameView::Fault FrameView::check(const QByteArray& frame)
{
    return check(bytesOf(frame), static_cast<std::size_t>(frame.size()));
}

std::optional<FrameView> FrameView::of(const std::uint8_t* bytes, std::size_t size)
{
    if (check(bytes, size) != Fault::None)
        return std::nullopt;
    return FrameView(bytes, size);
}

std::optional<FrameView> FrameView::of(const QByteArray& frame)
{
    return of(bytesOf(frame), static_cast<std::size_t>(frame.size()));
}

QByteArray FrameView::content() const
{
    return QByteArray(reinterpret_cast<const char*>(contentData()), length());
}

QByteArray FrameView::bytes() const
{
    return QByteArray(reinterpret_cast<const char*>(m_bytes), static_cast<int>(m_size));
}

std::uint16_t FrameView::computedChecksum() const
{
    return checksumOf(m_bytes, m_size);
}

std::uint16_t FrameView::u16At(std::size_t offset) const
{
    return util::makeU16(m_bytes[offset], m_bytes[offset + 1]);
}

std::optional<wire::RecordMark> FrameView::recordMark() const
{
    if (command() != toCode(Command::GetFileRecords) || length() == 0)
        return std::nullopt;
    const std::uint8_t mark = contentData()[0];
    if (mark > static_cast<std::uint8_t>(wire::RecordMark::End))
        return std::nullopt;
    return static_cast<wire::RecordMark>(mark);
}

std::optional<std::uint32_t> FrameView::recordSequence() const
{
    constexpr int offset = RecordLayout::sequenceOffset();
    if (recordMark() != wire::RecordMark::Data || length() != RecordLayout::size())
        return std::nullopt;
    const std::uint8_t* p = contentData() + offset;
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

QByteArray FrameView::build(std::uint16_t address, std::uint8_t command, const char* content,
                            std::size_t size)
{
    // The length field counts the bytes actually written, so a stale length cannot
    // desynchronise the receiver; content that does not fit 16 bits cannot be framed at all.
    if (size > std::numeric_limits<std::uint16_t>::max())
        return {};
    const int contentSize = static_cast<int>(size);
    QByteArray out;
    out.reserve(wire::kOverheadSize + contentSize);
    appendU16(out, wire::kHeader);
    appendU16(out, address);
    out.append(static_cast<char>(command));
    appendU16(out, static_cast<std::uint16_t>(contentSize));
    out.append(content, contentSize);
    appendU16(out, crc16(out));
    return out;
}

QByteArray FrameView::build(std::uint16_t address, std::uint8_t command, const QByteArray& content)
{
    return build(address, command, content.constData(), static_cast<std::size_t>(content.size()));
}

bool FrameView::patchChecksum(QByteArray& frame)
{
    if (frame.size() < wire::kOverheadSize)
        return false;
    const std::uint16_t crc = checksumOf(bytesOf(frame), static_cast<std::size_t>(frame.size()));
    frame[frame.size() - 2] = static_cast<char>(crc >> 8);
    frame[frame.size() - 1] = static_cast<char>(crc & 0xFF);
    return true;
}

bool FrameView::patchCommand(QByteArray& frame, std::uint8_t command)
{
    if (frame.size() <= wire::kCommandOffset)
        return false;
    frame[wire::kCommandOffset] = static_cast<char>(command);
    return true;
}

bool FrameView::patchAddress(QByteArray& frame, std::uint16_t address)
{
    constexpr int kAddressOffset = 2;
    if (frame.size() < kAddressOffset + 2)
        return false;
    frame[kAddressOffset] = static_cast<char>(address >> 8);
    frame[kAddressOffset + 1] = static_cast<char>(address & 0xFF);
    return true;
}

std::uint16_t FrameView::checksumOf(const std::uint8_t* frame, std::size_t size)
{
    return crc16(frame, size < wire::kChecksumSize ? 0 : size - wire::kChecksumSize);
}

#include "unit/FileRecordFrames.h"

#include "util/Conversions.h"

namespace {

// Text as its bytes, cut or zero-filled to the field width.
std::string textField(const std::string& text, std::size_t width)
{
    std::string out = text.substr(0, width);
    out.resize(width, '\0');
    return out;
}

std::uint32_t valueOf(const RecordLayout::Field& field, std::uint32_t sequence, const QDateTime& time)
{
    using Value = RecordLayout::Value;
    switch (field.value) {
    case Value::Fixed:
        break;
    case Value::Sequence:
        return sequence;
    case Value::Year:
        return static_cast<std::uint32_t>(time.date().year());
    case Value::Month:
        return static_cast<std::uint32_t>(time.date().month());
    case Value::Day:
        return static_cast<std::uint32_t>(time.date().day());
    case Value::Hour:
        return static_cast<std::uint32_t>(time.time().hour());
    case Value::Minute:
        return static_cast<std::uint32_t>(time.time().minute());
    case Value::Second:
        return static_cast<std::uint32_t>(time.time().second());
    }
    return field.number;
}

} // namespace

std::string FileRecordFrames::startFrame(std::uint32_t count)
{
    return util::toBytesU8(static_cast<std::uint8_t>(Mark::Start)) + util::toBytesU32(count);
}

std::string FileRecordFrames::dataFrame(std::uint32_t sequence, const QDateTime& time)
{
    using Encoding = RecordLayout::Encoding;
    std::string record;
    record.reserve(kRecordSize);
    for (const RecordLayout::Field& field : RecordLayout::kFields) {
        const std::uint32_t value = valueOf(field, sequence, time);
        switch (field.encoding) {
        case Encoding::U8:
            record += util::toBytesU8(static_cast<std::uint8_t>(value));
            break;
        case Encoding::U16:
            record += util::toBytesU16(static_cast<std::uint16_t>(value));
            break;
        case Encoding::U32:
            record += util::toBytesU32(value);
            break;
        case Encoding::Text:
            record += textField(field.text, static_cast<std::size_t>(field.width));
            break;
        }
    }
    return record;
}

std::string FileRecordFrames::endFrame()
{
    return util::toBytesU8(static_cast<std::uint8_t>(Mark::End));
}

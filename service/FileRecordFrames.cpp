#include "service/FileRecordFrames.h"

#include "util/Conversions.h"

#include <QString>

namespace {

// Text as its bytes, cut or zero-filled to the field width.
std::string field(const std::string& text, std::size_t width)
{
    std::string out = text.substr(0, width);
    out.resize(width, '\0');
    return out;
}

std::string utf8(const char* text)
{
    return QString::fromUtf8(text).toStdString();
}

} // namespace

std::string FileRecordFrames::startFrame(std::uint32_t count)
{
    return util::toBytesU8(static_cast<std::uint8_t>(Mark::Start)) + util::toBytesU32(count);
}

std::string FileRecordFrames::dataFrame(std::uint32_t sequence, const QDateTime& time)
{
    using namespace util;
    const QDate date = time.date();
    const QTime clock = time.time();
    std::string record;
    record.reserve(kRecordSize);
    record += toBytesU8(static_cast<std::uint8_t>(Mark::Data));
    record += toBytesU32(sequence);
    record += field("5QJW", 10);    // tool model
    record += field("12345678", 8); // factory serial number
    record += toBytesU16(static_cast<std::uint16_t>(date.year()));
    record += toBytesU8(static_cast<std::uint8_t>(date.month()));
    record += toBytesU8(static_cast<std::uint8_t>(date.day()));
    record += toBytesU8(static_cast<std::uint8_t>(clock.hour()));
    record += toBytesU8(static_cast<std::uint8_t>(clock.minute()));
    record += toBytesU8(static_cast<std::uint8_t>(clock.second()));
    record += field(utf8("设备名称"), 16); // device name
    record += field("87654321", 8);        // device number
    record += field(utf8("操作人员"), 16); // operator
    record += toBytesU8(2);                // pressure unit
    record += toBytesU8(1);                // torque unit
    record += toBytesU16(300);             // corresponding pressure
    record += toBytesU32(128);             // target torque
    record += toBytesU32(129);             // actual torque
    record += field("1122334455", 10);     // bolt size
    record += field("5544332211", 10);     // bolt grade
    record += toBytesU16(30);              // target angle
    record += toBytesU16(31);              // actual angle
    record += toBytesU8(1);                // gear
    record += toBytesU8(1);                // selected mode
    record += toBytesU8(1);                // working mode
    record += toBytesU8(1);                // tightening result
    return record;
}

std::string FileRecordFrames::endFrame()
{
    return util::toBytesU8(static_cast<std::uint8_t>(Mark::End));
}

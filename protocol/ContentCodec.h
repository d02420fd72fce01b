#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// How a content's bytes are laid out. The command catalogue names one for each command and
// direction; Record is resolved by its first byte to RecordStart, RecordData or RecordEnd.
enum class ContentLayout
{
    Empty,
    DateTime,
    SerialNumber,
    DeviceName,
    DeviceNumber,
    LockStatus,
    Password,
    UsageCount,
    Operator,
    Fallback,
    AngleMode,
    Record,
    RecordStart,
    RecordData,
    RecordEnd,
    TorqueMode,
    BoltMode,
    GearMode,
    SensorMode,
};

// Which way a frame goes; a response carries its request's command code.
enum class FrameDirection
{
    Request,
    Response
};

// One field of a content: its label and decoded value as the renderer shows them, and the
// bytes it was read from.
struct ContentField
{
    enum class Encoding
    {
        Number,      // big-endian, 1, 2 or 4 bytes, shown in decimal
        Utf8,        // every byte, zeros included
        Utf8Trimmed, // trailing zeros dropped
        Gb2312,      // up to the first zero character
        DateTime,    // year (2 bytes), month, day, hour, minute, second: "yyyy-MM-dd hh:mm:ss"
        LockState,   // one byte: 0 "解锁", anything else "加锁"
        Digits,      // text (as Utf8) that a display shows as its digits only
    };

    QString label;
    QString value;
    int offset = 0; // in the content
    int size = 0;
    Encoding encoding = Encoding::Number;
    QString group; // the line title fields of one list entry share ("第0个扳手"); empty: a line of its own

    bool operator==(const ContentField& other) const;
    bool operator!=(const ContentField& other) const { return !(*this == other); }
};

struct DecodedContent
{
    enum class Status
    {
        Ok,
        WrongSize, // the content's size does not fit its layout
        Truncated, // a field the content announces lies past its end
    };

    // What was read: RecordStart, RecordData or RecordEnd for a Record; Record itself
    // for a mark none of them has (no fields then).
    ContentLayout layout = ContentLayout::Empty;
    Status status = Status::Ok;
    // In wire order; on a failure, the fields read before it.
    std::vector<ContentField> fields;
    // Between the label-value pairs of a group's line.
    QString separator;

    bool ok() const { return status == Status::Ok; }
};

// A field a layout can have, as decode() names it: "%1" in the group or label stands for an
// entry's number. `key` is the record's CSV column for a record field, else empty.
struct ContentFieldName
{
    QString group;
    QString label;
    ContentField::Encoding encoding = ContentField::Encoding::Number;
    QString key;
};

// Contents to fields and back, from the layout tables in ContentLayouts.h.
class ContentCodec
{
public:
    // Nothing for a code outside the catalogue.
    static std::optional<ContentLayout> layoutFor(std::uint8_t command, FrameDirection direction);

    static DecodedContent decode(ContentLayout layout, const QByteArray& content);
    // Nothing for a code outside the catalogue.
    static std::optional<DecodedContent> decode(std::uint8_t command, FrameDirection direction,
                                                const QByteArray& content);
    // Every field decode() can give for the layout, in wire order; Record lists its start,
    // data and end frames' fields.
    static std::vector<ContentFieldName> fieldNames(ContentLayout layout);

    // The longest content of a layout a receiver takes: a text's largest size, a fixed
    // layout's size, the receive limit for a layout without fields of its own (an empty one).
    static int largestContent(ContentLayout layout);

    // The bytes of fields that cover a content from offset 0 without gaps, each value written
    // at its field's size (text zero-filled); nothing for a gap, an overlap or a value that
    // does not fit. Bytes no field shows (the bolt block's second standard) do not come back.
    static std::optional<QByteArray> encode(const std::vector<ContentField>& fields);
};

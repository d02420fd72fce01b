#pragma once

#include "protocol/WireFormat.h"

#include <cstddef>
#include <cstdint>
#include <iterator>

// The tightening record a data frame carries, one row per field in wire order. The
// emulator builds it, the renderer reads it back and varnel-pc writes it as CSV, all
// from these rows, so a field added here appears in all three.
class RecordLayout
{
public:
    // Numbers are big-endian; text is its bytes, zero-filled to the width.
    enum class Encoding
    {
        U8,
        U16,
        U32,
        Text
    };

    // The renderer's line: "digits    -- label：value" with a decimal number or the text
    // decoded as UTF-8 (trailing zeros dropped or kept), or the date line over the seven
    // date-time bytes that start at this field; InDateTime fields have no line of their own.
    enum class Line
    {
        Number,
        TextTrimmed,
        TextWhole,
        DateTime,
        InDateTime
    };

    // What the emulator sends: the fixed number or text of the row, or a running value.
    enum class Value
    {
        Fixed,
        Sequence,
        Year,
        Month,
        Day,
        Hour,
        Minute,
        Second
    };

    struct Field
    {
        int offset;
        int width;
        Encoding encoding;
        const char* label; // the renderer's; empty for InDateTime
        Line line;
        const char* csvColumn; // empty: no CSV column
        Value value;
        std::uint32_t number;
        const char* text;
    };

    // year, month, day, hour, minute, second
    static constexpr int kDateTimeSize = 7;

    static constexpr Field kFields[] = {
        {0, 1, Encoding::U8, "数据帧标记", Line::Number, "", Value::Fixed,
         static_cast<std::uint32_t>(wire::RecordMark::Data), ""},
        {1, 4, Encoding::U32, "序号", Line::Number, "sequence", Value::Sequence, 0, ""},
        {5, 10, Encoding::Text, "工具型号", Line::TextTrimmed, "tool_model", Value::Fixed, 0, "5QJW"},
        {15, 8, Encoding::Text, "出厂编号", Line::TextWhole, "serial_number", Value::Fixed, 0, "12345678"},
        {23, 2, Encoding::U16, "日期", Line::DateTime, "date_time", Value::Year, 0, ""},
        {25, 1, Encoding::U8, "", Line::InDateTime, "", Value::Month, 0, ""},
        {26, 1, Encoding::U8, "", Line::InDateTime, "", Value::Day, 0, ""},
        {27, 1, Encoding::U8, "", Line::InDateTime, "", Value::Hour, 0, ""},
        {28, 1, Encoding::U8, "", Line::InDateTime, "", Value::Minute, 0, ""},
        {29, 1, Encoding::U8, "", Line::InDateTime, "", Value::Second, 0, ""},
        {30, 16, Encoding::Text, "设备名称", Line::TextTrimmed, "device_name", Value::Fixed, 0, "设备名称"},
        {46, 8, Encoding::Text, "设备编号", Line::TextWhole, "device_number", Value::Fixed, 0, "87654321"},
        {54, 16, Encoding::Text, "操作人员", Line::TextTrimmed, "operator", Value::Fixed, 0, "操作人员"},
        {70, 1, Encoding::U8, "压力单位", Line::Number, "pressure_unit", Value::Fixed, 2, ""},
        {71, 1, Encoding::U8, "扭矩单位", Line::Number, "torque_unit", Value::Fixed, 1, ""},
        {72, 2, Encoding::U16, "对应压力", Line::Number, "pressure", Value::Fixed, 300, ""},
        {74, 4, Encoding::U32, "目标扭矩", Line::Number, "target_torque", Value::Fixed, 128, ""},
        {78, 4, Encoding::U32, "实际扭矩", Line::Number, "actual_torque", Value::Fixed, 129, ""},
        {82, 10, Encoding::Text, "螺栓规格", Line::TextWhole, "bolt_spec", Value::Fixed, 0, "1122334455"},
        {92, 10, Encoding::Text, "螺栓等级", Line::TextWhole, "bolt_grade", Value::Fixed, 0, "5544332211"},
        {102, 2, Encoding::U16, "目标角度", Line::Number, "target_angle", Value::Fixed, 30, ""},
        {104, 2, Encoding::U16, "实际角度", Line::Number, "actual_angle", Value::Fixed, 31, ""},
        {106, 1, Encoding::U8, "挡位", Line::Number, "gear", Value::Fixed, 1, ""},
        {107, 1, Encoding::U8, "选定模式", Line::Number, "selected_mode", Value::Fixed, 1, ""},
        {108, 1, Encoding::U8, "工作方式", Line::Number, "working_mode", Value::Fixed, 1, ""},
        {109, 1, Encoding::U8, "拧紧结果", Line::Number, "result", Value::Fixed, 1, ""},
    };
    static constexpr std::size_t kFieldCount = std::size(kFields);

    // The record's size in bytes: where its last field ends.
    static constexpr int size() { return end(kFields[kFieldCount - 1]); }
    static constexpr int end(const Field& field) { return field.offset + field.width; }

    static constexpr int dateTimeOffset()
    {
        for (const Field& field : kFields) {
            if (field.line == Line::DateTime)
                return field.offset;
        }
        return -1;
    }

    // Where the running sequence number sits.
    static constexpr int sequenceOffset()
    {
        for (const Field& field : kFields) {
            if (field.value == Value::Sequence)
                return field.offset;
        }
        return -1;
    }

    // Where the field of a CSV column ends; -1 for an unknown column.
    static constexpr int endOf(const char* csvColumn)
    {
        for (const Field& field : kFields) {
            if (sameText(field.csvColumn, csvColumn))
                return end(field);
        }
        return -1;
    }

    static constexpr bool isWellFormed()
    {
        int next = 0;
        for (const Field& field : kFields) {
            if (field.offset != next || field.width != widthOf(field.encoding, field.width))
                return false;
            next = end(field);
        }
        return true;
    }

private:
    static constexpr int widthOf(Encoding encoding, int textWidth)
    {
        return encoding == Encoding::U8    ? 1
               : encoding == Encoding::U16 ? 2
               : encoding == Encoding::U32 ? 4
                                           : textWidth;
    }

    static constexpr bool sameText(const char* a, const char* b)
    {
        for (; *a && *a == *b; ++a, ++b) {
        }
        return *a == *b;
    }
};

static_assert(RecordLayout::isWellFormed(), "fields follow each other without gaps, numbers at their widths");
static_assert(RecordLayout::sequenceOffset() >= 0, "a data frame carries its sequence number");
static_assert(RecordLayout::size() == 110, "a data frame carries 110 bytes");
static_assert(RecordLayout::dateTimeOffset() >= 0 &&
                  RecordLayout::dateTimeOffset() + RecordLayout::kDateTimeSize <= RecordLayout::size(),
              "the date line reads seven bytes inside the record");

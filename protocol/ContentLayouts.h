#pragma once

#include "protocol/ContentCodec.h"
#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"

#include <cstddef>

// Every content layout but the record's data (RecordLayout's table): offsets, sizes,
// encodings and the labels the renderer shows. The decoder in ContentCodec.cpp walks these.
namespace contentlayouts {

using Encoding = ContentField::Encoding;

struct FieldSpec
{
    int offset;
    int size;
    Encoding encoding;
    const char* label; // "%1" stands for an entry's number
};

// Contents of one size whose fields are all fixed; a non-empty group puts them on one line.
struct FixedLayout
{
    ContentLayout layout;
    const char* group;
    const FieldSpec* fields;
    std::size_t count;
};

constexpr FieldSpec kDateTime[] = {{0, RecordLayout::kDateTimeSize, Encoding::DateTime, ""}};
constexpr FieldSpec kUsageCount[] = {{0, 4, Encoding::Number, "使用次数"}};
constexpr FieldSpec kAngleMode[] = {{0, 2, Encoding::Number, "角度"}};
constexpr FieldSpec kFallback[] = {{0, 2, Encoding::Number, "角度"}, {2, 1, Encoding::Number, "电流"}};
constexpr FieldSpec kRecordStart[] = {{0, 1, Encoding::Number, "起始帧标记"},
                                      {1, 4, Encoding::Number, "记录数"}};
constexpr FieldSpec kRecordEnd[] = {{0, 1, Encoding::Number, "结束帧标记"}};

constexpr FixedLayout kFixed[] = {
    {ContentLayout::DateTime, "", kDateTime, std::size(kDateTime)},
    {ContentLayout::UsageCount, "", kUsageCount, std::size(kUsageCount)},
    {ContentLayout::AngleMode, "", kAngleMode, std::size(kAngleMode)},
    {ContentLayout::Fallback, "回退信息", kFallback, std::size(kFallback)},
    {ContentLayout::RecordStart, "", kRecordStart, std::size(kRecordStart)},
    {ContentLayout::RecordEnd, "", kRecordEnd, std::size(kRecordEnd)},
};

// One text filling the whole content, up to a size; no field for an empty content.
struct TextLayout
{
    ContentLayout layout;
    int maxSize;
    Encoding encoding;
    const char* label;
};

constexpr TextLayout kTexts[] = {
    {ContentLayout::SerialNumber, wire::kMaxSerialNumberSize, Encoding::Utf8, "出厂编号"},
    {ContentLayout::DeviceName, wire::kMaxDeviceNameSize, Encoding::Gb2312, "设备名称"},
    {ContentLayout::DeviceNumber, wire::kMaxDeviceNumberSize, Encoding::Utf8, "设备编号"},
    {ContentLayout::Operator, wire::kMaxOperatorSize, Encoding::Gb2312, "操作人"},
    {ContentLayout::Password, wire::kMaxPasswordSize, Encoding::Utf8, "密码"},
};

// The lock state, then up to eight bytes of password shown as they are.
constexpr FieldSpec kLockState = {0, 1, Encoding::LockState, "锁定状态"};
constexpr FieldSpec kLockPassword = {1, 0, Encoding::Digits, "密码"}; // the rest of the content
constexpr int kMaxLockStatusSize = 1 + wire::kMaxPasswordSize;

// A count, then that many entries of one shape, one line each.
struct ListLayout
{
    ContentLayout layout;
    FieldSpec count;
    int entrySize;
    const char* entryGroup;
    const char* separator;
    const FieldSpec* entry;
    std::size_t entryCount;
};

constexpr FieldSpec kTorqueEntry[] = {{0, 10, Encoding::Gb2312, "名称"},
                                      {10, 4, Encoding::Number, "系数"},
                                      {14, 1, Encoding::Number, "延迟时间"}};
constexpr FieldSpec kGearEntry[] = {{0, 1, Encoding::Number, "挡位等级"},
                                    {1, 4, Encoding::Number, "对应压力"}};
// Sensors share the gear line, labels included.
constexpr FieldSpec kSensorEntry[] = {{0, 10, Encoding::Utf8Trimmed, "挡位等级"},
                                      {10, 4, Encoding::Number, "对应压力"}};

// clang-format off
constexpr ListLayout kLists[] = {
    {ContentLayout::TorqueMode, {0, 2, Encoding::Number, "数量"}, 15, "第%1个扳手", "，",
     kTorqueEntry, std::size(kTorqueEntry)},
    {ContentLayout::GearMode, {0, 1, Encoding::Number, "挡位数量"}, 5, "第%1个挡位", ",",
     kGearEntry, std::size(kGearEntry)},
    {ContentLayout::SensorMode, {0, 2, Encoding::Number, "传感器数量"}, 14, "第%1个挡位", ",",
     kSensorEntry, std::size(kSensorEntry)},
};
// clang-format on

// The bolt block: wrench name, standard and diameter count, the diameter names, the grade
// count and names, then a torque for each diameter and grade. Only the first standard block
// is read; a second one after it is not.
constexpr FieldSpec kBoltHead[] = {{0, 10, Encoding::Utf8Trimmed, "扳手名称"},
                                   {10, 1, Encoding::Number, "制式"},
                                   {11, 1, Encoding::Number, "螺栓直径名称数量"}};
constexpr FieldSpec kBoltDiameterName = {0, 10, Encoding::Utf8Trimmed, "螺栓直径[%1]名称"};
constexpr FieldSpec kBoltGradeCount = {0, 1, Encoding::Number, "螺栓等级名称数量"};
constexpr FieldSpec kBoltGradeName = {0, 10, Encoding::Utf8Trimmed, "螺栓等级[%1]名称"};
constexpr FieldSpec kBoltTorque = {0, 4, Encoding::Number, "第%1个扭矩"};

} // namespace contentlayouts

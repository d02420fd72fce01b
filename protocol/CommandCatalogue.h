#pragma once

#include "protocol/ContentType.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>

// Every command of the protocol, one row each, in code order. The columns are:
//   enumerator, code, protocol name (send log), renderer name (rendered header line),
//   parameter dialog entry, command-line name, request content, response content,
//   SetupService handler, request content layout, response content layout.
// The handler is a bare member name the service expands into its dispatch table, so this
// library does not need it; the layouts are ContentLayout enumerators the content codec reads.
// A new command is one row here plus its handler (and a layout, if it needs a new one).
#define VARNEL_COMMAND_TABLE(X)                                                                              \
    X(SetTime, 0x01, "设置时间", "设置时间", "[0x01]设置时间", "set-time", DateTime, Null,                   \
      processSetTimeReq, DateTime, Empty)                                                                    \
    X(GetTime, 0x02, "获取时间", "获取时间", "[0x02]获取时间", "get-time", Null, DateTime,                   \
      processGetTimeReq, Empty, DateTime)                                                                    \
    X(SetSerialNumber, 0x03, "设置出厂编号", "设置出厂编号", "[0x03]设置出厂编号",                           \
      "set-factory-serial-number", String, Null, processSetSerialNumberReq, SerialNumber, Empty)             \
    X(GetSerialNumber, 0x04, "获取出厂编号", "获取出厂编号", "[0x04]获取出厂编号",                           \
      "get-factory-serial-number", Null, String, processGetSerialNumberReq, Empty, SerialNumber)             \
    X(SetDeviceName, 0x05, "设置设备名称", "设置设备名称", "[0x05]设置设备名称", "set-device-name", String,  \
      Null, processSetDeviceNameReq, DeviceName, Empty)                                                      \
    X(GetDeviceName, 0x06, "获取设备名称", "获取设备名称", "[0x06]获取设备名称", "get-device-name", Null,    \
      String, processGetDeviceNameReq, Empty, DeviceName)                                                    \
    X(SetDeviceNumber, 0x07, "设置设备编号", "设置设备编号", "[0x07]设置设备编号", "set-device-number",      \
      String, Null, processSetDeviceNumberReq, DeviceNumber, Empty)                                          \
    X(GetDeviceNumber, 0x08, "获取设备编号", "获取设备编号", "[0x08]获取设备编号", "get-device-number",      \
      Null, String, processGetDeviceNumberReq, Empty, DeviceNumber)                                          \
    X(SetLockStatus, 0x09, "设置锁定状态", "设置锁定状态", "[0x09]设置锁定状态", "set-lock-status", String,  \
      Null, processSetLockStatusReq, LockStatus, Empty)                                                      \
    X(SetPassword, 0x0A, "设置使用密码", "设置密码", "[0x0A]设置使用密码", "set-usage-password", String,     \
      Null, processSetPasswordReq, Password, Empty)                                                          \
    X(SetUsageCount, 0x0B, "设置使用次数", "设置使用次数", "[0x0B]设置使用次数", "set-usage-count", Integer, \
      Null, processSetUsageCountReq, UsageCount, Empty)                                                      \
    X(GetFileRecords, 0x0C, "获取文件记录", "获取文件记录", "[0x0C]获取文件记录", "get-file-records", Null,  \
      String, processGetRecordReq, Empty, Record)                                                            \
    X(ClearFileRecords, 0x0D, "清除文件记录", "清除文件记录", "[0x0D]清除文件记录", "clear-file-records",    \
      Null, Null, processClsRecordReq, Empty, Empty)                                                         \
    X(SetFallback, 0x0E, "设置回退信息", "设置回退参数", "[0x0E]导入数据记录", "set-fallback-information",   \
      Fallback, Null, processSetParamFallbackRsp, Fallback, Empty)                                           \
    X(SetOperator, 0x0F, "设置操作人名", "设置操作人名", "[0x0F]设置操作人", "set-operator-name", String,    \
      Null, processSetOperatorReq, Operator, Empty)                                                          \
    X(GetOperator, 0x10, "获取操作人名", "获取操作人名", "[0x10]获取操作人", "get-operator-name", Null,      \
      String, processGetOperatorReq, Empty, Operator)                                                        \
    X(ImportTorqueMode, 0x11, "导入数据-扭矩模式", "设置扭矩模式参数", "[0x11]导入数据-扭矩模式",            \
      "import-torque-mode-data", TorqueMode, Null, processSetParamTorqueReq, TorqueMode, Empty)              \
    X(ImportBoltMode, 0x12, "导入数据-螺栓模式", "设置螺栓模式参数", "[0x12]导入数据-螺栓模式",              \
      "import-bolt-mode-data", BoltMode, Null, processSetParamBoltReq, BoltMode, Empty)                      \
    X(ImportAngleMode, 0x13, "导入数据-角度模式", "设置角度模式参数", "[0x13]导入数据-角度模式",             \
      "import-angle-mode-data", AngleMode, Null, processSetParamAngleReq, AngleMode, Empty)                  \
    X(ImportGearMode, 0x14, "导入数据-挡位模式", "设置挡位预设参数", "[0x14]导入数据-挡位模式",              \
      "import-gear-mode-data", GearMode, Null, processSetParamGearReq, GearMode, Empty)                      \
    X(ImportSensorMode, 0x15, "导入数据-传感器模式", "设置传感器参数", "[0x15]导入数据-传感器模式",          \
      "import-sensor-mode-data", SensorMode, Null, processSetParamSensorReq, SensorMode, Empty)

// The command codes. A response carries its request's code; the direction is not on the wire.
enum class Command : std::uint8_t
{
#define VARNEL_COMMAND_ENUMERATOR(name, code, ...) name = code,
    VARNEL_COMMAND_TABLE(VARNEL_COMMAND_ENUMERATOR)
#undef VARNEL_COMMAND_ENUMERATOR
};

constexpr std::uint8_t toCode(Command command)
{
    return static_cast<std::uint8_t>(command);
}

// The plain-data columns of the command table.
class CommandCatalogue
{
public:
    struct Entry
    {
        Command command;
        const char* protocolName;
        const char* rendererName;
        const char* dialogEntry;
        const char* cliName;
        ContentType requestContent;
        ContentType responseContent;
    };

    static constexpr Entry kEntries[] = {
#define VARNEL_COMMAND_ENTRY(name, code, protocol, renderer, dialog, cli, request, response, ...)            \
    {Command::name, protocol, renderer, dialog, cli, ContentType::request, ContentType::response},
        VARNEL_COMMAND_TABLE(VARNEL_COMMAND_ENTRY)
#undef VARNEL_COMMAND_ENTRY
    };
    static constexpr std::size_t kCount = std::size(kEntries);

    // The entry of a code 0x01..0x15; nothing for any other byte.
    static const Entry* find(std::uint8_t code);
    static const Entry& entry(Command command);

    // Codes run from 1 without gaps, so a code minus one is its row.
    static constexpr bool codesAreRowNumbers()
    {
        for (std::size_t i = 0; i < kCount; ++i) {
            if (toCode(kEntries[i].command) != i + 1)
                return false;
        }
        return true;
    }
};

static_assert(CommandCatalogue::codesAreRowNumbers(),
              "commands are listed in code order from 0x01 without gaps");

constexpr Command kFirstCommand = CommandCatalogue::kEntries[0].command;
constexpr Command kLastCommand = CommandCatalogue::kEntries[CommandCatalogue::kCount - 1].command;

constexpr bool isCommand(std::uint8_t code)
{
    return code >= toCode(kFirstCommand) && code <= toCode(kLastCommand);
}

// Protocol name for the send log; empty for 0 and every code above 0x15.
QString commandName(std::uint8_t code);

// English gloss with dashes ("get-time"); empty outside the catalogue.
QString commandGloss(std::uint8_t code);

// Code for a gloss as commandGloss writes it; nothing for an unknown text.
std::optional<Command> commandFromGloss(const QString& gloss);

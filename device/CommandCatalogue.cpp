#include "device/CommandCatalogue.h"

#include <array>

namespace {

// Entry 0 is no command; entries 1..21 follow the codes.
constexpr std::array<const char*, 22> kProtocolNames = {
    "",
    "设置时间",
    "获取时间",
    "设置出厂编号",
    "获取出厂编号",
    "设置设备名称",
    "获取设备名称",
    "设置设备编号",
    "获取设备编号",
    "设置锁定状态",
    "设置使用密码",
    "设置使用次数",
    "获取文件记录",
    "清除文件记录",
    "设置回退信息",
    "设置操作人名",
    "获取操作人名",
    "导入数据-扭矩模式",
    "导入数据-螺栓模式",
    "导入数据-角度模式",
    "导入数据-挡位模式",
    "导入数据-传感器模式",
};

constexpr std::array<const char*, 22> kGlosses = {
    "",
    "set-time",
    "get-time",
    "set-factory-serial-number",
    "get-factory-serial-number",
    "set-device-name",
    "get-device-name",
    "set-device-number",
    "get-device-number",
    "set-lock-status",
    "set-usage-password",
    "set-usage-count",
    "get-file-records",
    "clear-file-records",
    "set-fallback-information",
    "set-operator-name",
    "get-operator-name",
    "import-torque-mode-data",
    "import-bolt-mode-data",
    "import-angle-mode-data",
    "import-gear-mode-data",
    "import-sensor-mode-data",
};

static_assert(kProtocolNames.size() == toCode(kLastCommand) + 1u, "one name per code");
static_assert(kGlosses.size() == toCode(kLastCommand) + 1u, "one gloss per code");

QString entryFor(const std::array<const char*, 22>& table, std::uint8_t code)
{
    return isCommand(code) ? QString::fromUtf8(table[code]) : QString();
}

} // namespace

QString commandName(std::uint8_t code)
{
    return entryFor(kProtocolNames, code);
}

QString commandGloss(std::uint8_t code)
{
    return entryFor(kGlosses, code);
}

std::optional<Command> commandFromGloss(const QString& gloss)
{
    for (std::uint8_t code = toCode(kFirstCommand); code <= toCode(kLastCommand); ++code) {
        if (gloss == QLatin1String(kGlosses[code]))
            return static_cast<Command>(code);
    }
    return std::nullopt;
}

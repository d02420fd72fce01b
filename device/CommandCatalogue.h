#pragma once

#include <QString>

#include <cstdint>
#include <optional>

// The 21 command codes. A response carries its request's code; the direction is not on the wire.
enum class Command : std::uint8_t
{
    SetTime = 0x01,
    GetTime = 0x02,
    SetSerialNumber = 0x03,
    GetSerialNumber = 0x04,
    SetDeviceName = 0x05,
    GetDeviceName = 0x06,
    SetDeviceNumber = 0x07,
    GetDeviceNumber = 0x08,
    SetLockStatus = 0x09,
    SetPassword = 0x0A,
    SetUsageCount = 0x0B,
    GetFileRecords = 0x0C,
    ClearFileRecords = 0x0D,
    SetFallback = 0x0E,
    SetOperator = 0x0F,
    GetOperator = 0x10,
    ImportTorqueMode = 0x11,
    ImportBoltMode = 0x12,
    ImportAngleMode = 0x13,
    ImportGearMode = 0x14,
    ImportSensorMode = 0x15,
};

constexpr Command kFirstCommand = Command::SetTime;
constexpr Command kLastCommand = Command::ImportSensorMode;

constexpr std::uint8_t toCode(Command command)
{
    return static_cast<std::uint8_t>(command);
}

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

#pragma once

#include <cstdint>

// Every constant of the frame protocol on the serial line; the command codes are the
// catalogue's enum, the record's fields are RecordLayout's table.
namespace wire {

// header (2) | address (2) | command (1) | length N (2) | content (N) | CRC (2)
constexpr std::uint16_t kHeader = 0x5AA5;
constexpr std::uint8_t kHeaderHigh = kHeader >> 8;
constexpr std::uint8_t kHeaderLow = kHeader & 0xFF;
constexpr std::uint16_t kAddress = 0x1234;
constexpr int kCommandOffset = 4;
constexpr int kLengthOffset = 5;
constexpr int kPrefixSize = 7;
constexpr int kChecksumSize = 2;
constexpr int kOverheadSize = kPrefixSize + kChecksumSize;
// Largest content a receiver accepts.
constexpr std::uint16_t kMaxReceiveLength = 10240;

// First byte of every frame that answers a file-record request.
enum class RecordMark : std::uint8_t
{
    Start = 0,
    Data = 1,
    End = 2
};

// Mark and record count; mark only. The data frame's size is RecordLayout's.
constexpr int kRecordStartSize = 5;
constexpr int kRecordEndSize = 1;

// Longest text each of these contents carries; the renderer refuses longer ones.
constexpr int kMaxSerialNumberSize = 16;
constexpr int kMaxDeviceNameSize = 16;
constexpr int kMaxDeviceNumberSize = 8;
constexpr int kMaxOperatorSize = 16;
constexpr int kMaxPasswordSize = 8;

} // namespace wire

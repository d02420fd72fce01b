#pragma once

#include <QDateTime>

#include <cstdint>
#include <string>

// Contents of the frames that answer a file-record request: a start frame with the
// record count, one synthetic 110-byte tightening record per data frame, an end frame.
class FileRecordFrames
{
public:
    enum class Mark : std::uint8_t
    {
        Start = 0,
        Data = 1,
        End = 2
    };

    static constexpr std::size_t kStartSize = 5;
    static constexpr std::size_t kRecordSize = 110;
    static constexpr std::size_t kEndSize = 1;
    static constexpr std::size_t kDateOffset = 23;
    static constexpr std::size_t kDateSize = 7;
    static constexpr std::size_t kRecordHeadSize = 46; // mark through device name

    static std::string startFrame(std::uint32_t count);
    static std::string dataFrame(std::uint32_t sequence, const QDateTime& time);
    static std::string endFrame();
};

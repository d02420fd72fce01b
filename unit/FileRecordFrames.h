#pragma once

#include "protocol/RecordLayout.h"
#include "protocol/WireFormat.h"

#include <QDateTime>

#include <cstdint>
#include <string>

// Contents of the frames that answer a file-record request: a start frame with the
// record count, one synthetic tightening record per data frame, an end frame.
class FileRecordFrames
{
public:
    using Mark = wire::RecordMark;

    static constexpr std::size_t kStartSize = wire::kRecordStartSize;
    static constexpr std::size_t kRecordSize = RecordLayout::size();
    static constexpr std::size_t kEndSize = wire::kRecordEndSize;
    static constexpr std::size_t kDateOffset = RecordLayout::dateTimeOffset();
    static constexpr std::size_t kDateSize = RecordLayout::kDateTimeSize;
    static constexpr std::size_t kRecordHeadSize =
        RecordLayout::endOf("device_name"); // mark through device name

    static std::string startFrame(std::uint32_t count);
    static std::string dataFrame(std::uint32_t sequence, const QDateTime& time);
    static std::string endFrame();
};

#include "protocol/FrameExtractor.h"

#include "protocol/CommandCatalogue.h"
#include "protocol/FrameView.h"
#include "protocol/WireFormat.h"
#include "util/Conversions.h"

#include <cstring>

namespace {

enum class Verdict
{
    Wait,          // incomplete: leave the bytes for the next pass
    Skip,          // not a header start: drop one byte
    Reject,        // bad command or length: drop the two header bytes
    ChecksumError, // complete but damaged: drop the two header bytes
    Accept,        // complete and valid: drop the whole frame
    Continue,      // this check passed: go on to the next one
};

struct Step
{
    Verdict verdict;
    std::size_t contentLength = 0;
    std::uint16_t crc = 0;
};

constexpr std::size_t kPrefixSize = wire::kPrefixSize;
constexpr std::size_t kOverheadSize = wire::kOverheadSize;
constexpr std::size_t kHeaderSize = 2;
constexpr std::size_t kCommandOffset = wire::kCommandOffset;
constexpr std::size_t kLengthOffset = wire::kLengthOffset;

Step checkHeader(const std::uint8_t* p, std::size_t available)
{
    if (available < 1)
        return {Verdict::Wait};
    if (p[0] != wire::kHeaderHigh)
        return {Verdict::Skip};
    if (available < 2)
        return {Verdict::Wait};
    if (p[1] != wire::kHeaderLow)
        return {Verdict::Skip};
    return {Verdict::Continue};
}

Step checkCommandAndLength(const std::uint8_t* p, std::size_t available)
{
    // The address bytes are not examined.
    if (available <= kCommandOffset)
        return {Verdict::Wait};
    if (!isCommand(p[kCommandOffset]))
        return {Verdict::Reject};
    if (available < kPrefixSize)
        return {Verdict::Wait};
    const std::size_t length = util::makeU16(p[kLengthOffset], p[kLengthOffset + 1]);
    if (length > wire::kMaxReceiveLength)
        return {Verdict::Reject};
    return {Verdict::Continue, length};
}

Step checkBody(const std::uint8_t* p, std::size_t available, std::size_t length,
               FrameExtractor::Incomplete incomplete)
{
    if (available < length + kOverheadSize)
        return {incomplete == FrameExtractor::Incomplete::GiveUp ? Verdict::Reject : Verdict::Wait};
    const std::optional<FrameView> frame = FrameView::of(p, length + kOverheadSize);
    const std::uint16_t computed = frame->computedChecksum();
    return {computed == frame->receivedChecksum() ? Verdict::Accept : Verdict::ChecksumError, length,
            computed};
}

Step examine(const std::uint8_t* p, std::size_t available, FrameExtractor::Incomplete incomplete)
{
    const Step header = checkHeader(p, available);
    if (header.verdict != Verdict::Continue)
        return header;
    const Step prefix = checkCommandAndLength(p, available);
    if (prefix.verdict != Verdict::Continue)
        return prefix;
    return checkBody(p, available, prefix.contentLength, incomplete);
}

// Dropping one byte at a time until the next 0x5A, done in one call.
std::size_t nextHeaderCandidate(const std::uint8_t* begin, std::size_t from, std::size_t size)
{
    const void* found = std::memchr(begin + from, wire::kHeaderHigh, size - from);
    return found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - begin) : size;
}

QByteArray bytesAt(const std::uint8_t* p, std::size_t count)
{
    return QByteArray(reinterpret_cast<const char*>(p), static_cast<int>(count));
}

// Appends dropped bytes to the run in progress, or starts a run after the last frame.
void discard(ExtractionResult& result, const std::uint8_t* p, std::size_t count)
{
    if (result.discarded.empty() || result.discarded.back().beforeFrame != result.frames.size())
        result.discarded.push_back({result.frames.size(), QByteArray()});
    result.discarded.back().bytes.append(reinterpret_cast<const char*>(p), static_cast<int>(count));
}

// Records what the step found and returns the offset of the next byte to examine.
std::size_t consume(const Step& step, const std::uint8_t* begin, std::size_t offset, std::size_t size,
                    FrameExtractor::BadChecksum badChecksum, ExtractionResult& result)
{
    const std::uint8_t* p = begin + offset;
    switch (step.verdict) {
    case Verdict::Wait:
    case Verdict::Continue:
        return offset;
    case Verdict::Skip: {
        const std::size_t next = nextHeaderCandidate(begin, offset + 1, size);
        discard(result, p, next - offset);
        return next;
    }
    case Verdict::Reject:
        discard(result, p, kHeaderSize);
        return offset + kHeaderSize;
    case Verdict::ChecksumError:
        result.crcErrors.push_back(step.crc);
        if (badChecksum == FrameExtractor::BadChecksum::Keep) {
            result.frames.push_back({p[kCommandOffset], bytesAt(p + kPrefixSize, step.contentLength),
                                     bytesAt(p, kOverheadSize + step.contentLength), false, step.crc});
            return offset + kOverheadSize + step.contentLength;
        }
        discard(result, p, kHeaderSize);
        return offset + kHeaderSize;
    case Verdict::Accept:
        result.frames.push_back({p[kCommandOffset], bytesAt(p + kPrefixSize, step.contentLength),
                                 bytesAt(p, kOverheadSize + step.contentLength), true, 0});
        return offset + kOverheadSize + step.contentLength;
    }
    return offset;
}

} // namespace

ExtractionResult FrameExtractor::extract(QByteArray& buffer, Incomplete incomplete, BadChecksum badChecksum)
{
    ExtractionResult result;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(buffer.constData());
    const std::size_t size = static_cast<std::size_t>(buffer.size());
    std::size_t offset = 0;
    for (;;) {
        const Step step = examine(begin + offset, size - offset, incomplete);
        if (step.verdict == Verdict::Wait)
            break;
        offset = consume(step, begin, offset, size, badChecksum, result);
    }
    if (offset > 0)
        buffer.remove(0, static_cast<int>(offset));
    return result;
}

std::vector<QByteArray> FrameExtractor::cutByLength(QByteArray& buffer)
{
    std::vector<QByteArray> frames;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(buffer.constData());
    const std::size_t size = static_cast<std::size_t>(buffer.size());
    std::size_t offset = 0;
    for (;;) {
        offset = nextHeaderCandidate(begin, offset, size);
        if (size - offset < kHeaderSize) // none, or a last 0x5A that may start one
            break;
        if (begin[offset + 1] != wire::kHeaderLow) {
            ++offset;
            continue;
        }
        if (size - offset < kPrefixSize)
            break;
        const std::size_t length =
            util::makeU16(begin[offset + kLengthOffset], begin[offset + kLengthOffset + 1]);
        if (length > wire::kMaxReceiveLength) {
            offset += kHeaderSize;
            continue;
        }
        if (size - offset < kOverheadSize + length)
            break;
        frames.push_back(bytesAt(begin + offset, kOverheadSize + length));
        offset += kOverheadSize + length;
    }
    if (offset > 0)
        buffer.remove(0, static_cast<int>(offset));
    return frames;
}

QString FrameExtractor::crcErrorMessage(std::uint16_t crc)
{
    return QStringLiteral("crc error![%1]")
        .arg(QString::number(crc, 16).toUpper().rightJustified(4, QLatin1Char('0')));
}

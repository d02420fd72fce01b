// Feeds a byte stream in chunks into one growing receive buffer, as the parse thread does,
// and compares every pass with a plain step-by-step model of frame extraction.
//
// Input: byte 0 = flags (bits 0-3: number n of chunk-size bytes; bit 4: fill in correct
// checksums so that frames survive mutation), bytes 1..n = chunk sizes used in turn
// (0 = a pass with nothing new), the rest = the stream. No chunk sizes: one chunk.
#include "FuzzCheck.h"

#include "data/StringData.h"
#include "device/Frame.h"
#include "protocol/FrameExtractor.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxContent = 10240;

struct ModelFrame
{
    std::uint8_t command;
    std::string content;
};

struct ModelResult
{
    std::vector<ModelFrame> frames;
    std::vector<std::uint16_t> crcErrors; // as the extractor reports them: wire order, high first
};

// Drop one byte, drop two, or wait, exactly in the order the frame rules give.
ModelResult modelExtract(std::string& buffer)
{
    ModelResult result;
    std::size_t off = 0;
    for (;;) {
        const std::size_t avail = buffer.size() - off;
        const auto* p = reinterpret_cast<const std::uint8_t*>(buffer.data()) + off;
        if (avail < 1)
            break;
        if (p[0] != 0x5A) {
            off += 1;
            continue;
        }
        if (avail < 2)
            break;
        if (p[1] != 0xA5) {
            off += 1;
            continue;
        }
        if (avail < 5)
            break;
        if (p[4] < 0x01 || p[4] > 0x15) {
            off += 2;
            continue;
        }
        if (avail < 7)
            break;
        const std::size_t n = std::size_t(p[5]) * 256 + p[6];
        if (n > kMaxContent) {
            off += 2;
            continue;
        }
        if (avail < n + 9)
            break;
        const std::uint16_t crc = fuzz::modbusCrc(p, n + 7);
        const std::uint8_t lo = crc & 0xFF, hi = crc >> 8;
        if (p[n + 7] == lo && p[n + 8] == hi) {
            result.frames.push_back({p[4], std::string(reinterpret_cast<const char*>(p + 7), n)});
            off += n + 9;
        } else {
            result.crcErrors.push_back(static_cast<std::uint16_t>((lo << 8) | hi));
            off += 2;
        }
    }
    buffer.erase(0, off);
    return result;
}

// Writes the right checksum behind plausible frame starts, so mutated frames stay valid.
void healChecksums(std::string& s)
{
    int healed = 0;
    for (std::size_t i = 0; i + 7 <= s.size() && healed < 64; ++i) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(s.data()) + i;
        if (p[0] != 0x5A || p[1] != 0xA5 || p[4] < 0x01 || p[4] > 0x15)
            continue;
        const std::size_t n = std::size_t(p[5]) * 256 + p[6];
        if (n > kMaxContent || i + n + 9 > s.size())
            continue;
        const std::uint16_t crc = fuzz::modbusCrc(p, n + 7);
        s[i + n + 7] = static_cast<char>(crc & 0xFF);
        s[i + n + 8] = static_cast<char>(crc >> 8);
        ++healed;
    }
}

std::string crcMessage(std::uint16_t wireOrder)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "crc error![";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += digits[(wireOrder >> shift) & 0xF];
    return text + "]";
}

void checkFrame(const ReceivedFrame& frame)
{
    FUZZ_CHECK(frame.command >= 0x01 && frame.command <= 0x15, "yielded command outside 0x01..0x15");
    FUZZ_CHECK(std::size_t(frame.content.size()) <= kMaxContent, "yielded content above 10240 bytes");

    const std::string content(frame.content.constData(), std::size_t(frame.content.size()));
    Frame out(frame.command, true);
    out.setAddress(Frame::kSenderAddress);
    out.setData(std::make_unique<StringData>(content));
    const QByteArray packed = out.pack();
    const std::size_t n = content.size();
    FUZZ_CHECK(std::size_t(packed.size()) == n + 9, "re-packed frame has the wrong size");
    const auto* p = reinterpret_cast<const std::uint8_t*>(packed.constData());
    const std::uint8_t prefix[7] = {
        0x5A, 0xA5, 0x12, 0x34, frame.command, std::uint8_t(n >> 8), std::uint8_t(n & 0xFF)};
    FUZZ_CHECK(std::memcmp(p, prefix, 7) == 0, "re-packed header, address, command or length wrong");
    FUZZ_CHECK(std::memcmp(p + 7, content.data(), n) == 0, "re-packed content differs");
    const std::uint16_t crc = fuzz::modbusCrc(p, n + 7);
    FUZZ_CHECK(p[n + 7] == (crc & 0xFF) && p[n + 8] == (crc >> 8), "re-packed checksum does not verify");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t sizeCount = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    std::vector<std::size_t> chunks(data + 1, data + 1 + sizeCount);
    bool anyNonZero = false;
    for (std::size_t c : chunks)
        anyNonZero = anyNonZero || c != 0;
    std::string stream(reinterpret_cast<const char*>(data + 1 + sizeCount), size - 1 - sizeCount);
    if (data[0] & 0x10)
        healChecksums(stream);
    if (!anyNonZero)
        chunks.assign(1, stream.size());

    QByteArray buffer;
    std::string model;
    std::size_t fed = 0;
    std::size_t turn = 0;
    for (;;) {
        const std::size_t take = std::min(chunks[turn++ % chunks.size()], stream.size() - fed);
        buffer.append(stream.data() + fed, int(take));
        model.append(stream, fed, take);
        fed += take;

        const ExtractionResult got = FrameExtractor::extract(buffer);
        const ModelResult want = modelExtract(model);

        FUZZ_CHECK(std::size_t(buffer.size()) <= fed, "buffer grew past what was fed");
        FUZZ_CHECK(std::memcmp(buffer.constData(), stream.data() + fed - std::size_t(buffer.size()),
                               std::size_t(buffer.size())) == 0,
                   "buffer is not a suffix of the bytes fed");
        FUZZ_CHECK(std::size_t(buffer.size()) == model.size(), "buffer keeps a different number of bytes");

        FUZZ_CHECK(got.frames.size() == want.frames.size(), "different number of frames yielded");
        for (std::size_t i = 0; i < got.frames.size(); ++i) {
            checkFrame(got.frames[i]);
            FUZZ_CHECK(got.frames[i].command == want.frames[i].command, "yielded command differs");
            FUZZ_CHECK(got.frames[i].content == QByteArray::fromStdString(want.frames[i].content),
                       "yielded content differs");
        }
        FUZZ_CHECK(got.crcErrors == want.crcErrors, "checksum errors differ");
        for (std::uint16_t crc : got.crcErrors)
            FUZZ_CHECK(FrameExtractor::crcErrorMessage(crc).toStdString() == crcMessage(crc),
                       "checksum error message differs");

        if (fed == stream.size() && take == 0)
            break;
    }
    // Nothing more arrives: one more pass must leave everything as it is.
    const QByteArray before = buffer;
    const ExtractionResult idle = FrameExtractor::extract(buffer);
    FUZZ_CHECK(idle.frames.empty() && idle.crcErrors.empty() && buffer == before,
               "a pass without new bytes changed the buffer");
    return 0;
}

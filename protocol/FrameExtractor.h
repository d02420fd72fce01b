#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

// One complete frame with a good checksum, as cut from the receive buffer (or, when asked
// for, one whose checksum differs).
struct ReceivedFrame
{
    std::uint8_t command = 0;
    QByteArray content;
    QByteArray raw; // the whole frame as it stood in the buffer, header to checksum
    bool checksumOk = true;
    std::uint16_t computedCrc = 0; // only set when checksumOk is false
};

// A run of bytes that no frame took: noise, a header with a bad command or length, the
// two header bytes of a frame with a bad checksum (and whatever of it is skipped after).
struct DiscardedBytes
{
    std::size_t beforeFrame = 0; // index of the frame the run precedes; frames.size(): after the last
    QByteArray bytes;
};

// What one pass over the buffer found, in buffer order.
struct ExtractionResult
{
    std::vector<ReceivedFrame> frames;
    // The checksum computed for each frame whose received checksum differed.
    std::vector<std::uint16_t> crcErrors;
    // Adjacent discards form one run; what an incomplete candidate still waits for is not here.
    std::vector<DiscardedBytes> discarded;
};

// Cuts frames out of the front of a receive buffer. One pass runs until it has to wait for
// more bytes; consumed bytes are removed once at the end, so a pass is linear in its input.
class FrameExtractor
{
public:
    // What a candidate that announces more bytes than have arrived gets.
    enum class Incomplete
    {
        Wait,   // the rest may still come: keep it whole
        GiveUp, // the line has gone quiet: drop its two header bytes, so a frame behind it is found
    };

    // What a complete candidate whose checksum differs gets.
    enum class BadChecksum
    {
        Drop, // a receiver: drop its two header bytes, as for noise
        Keep, // a tool that shows the line: take it whole, marked, so its bytes are seen as a frame
    };

    static ExtractionResult extract(QByteArray& buffer, Incomplete incomplete = Incomplete::Wait,
                                    BadChecksum badChecksum = BadChecksum::Drop);

    // Cuts frames by header and length alone, command and checksum unjudged, for a reader that
    // compares frames rather than acts on them. Bytes before a header go; a length above the
    // receive limit skips that header; an incomplete frame (or a last 0x5A) stays in the buffer.
    static std::vector<QByteArray> cutByLength(QByteArray& buffer);

    // "crc error![XXXX]" with the computed checksum in wire order.
    static QString crcErrorMessage(std::uint16_t crc);
};

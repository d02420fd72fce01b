#pragma once

#include <QByteArray>

#include <cstdint>

// Watches what passes a device's line, for a capture file. frameReceived and
// bytesDiscarded come from the parse thread under the device's buffer lock, bytesSent and
// the discards of a send from the GUI thread; an implementation must be thread-safe and
// must not call back into the device.
class LineObserver
{
public:
    virtual ~LineObserver() = default;

    // One request as extraction cut it out, header to checksum; the number of the journal
    // event it became, 0 where the observer keeps no journal.
    virtual std::uint64_t frameReceived(const QByteArray& frame) = 0;
    // One write of the unit's bytes onto the line, as written.
    virtual void bytesSent(const QByteArray& bytes) = 0;
    // Bytes the unit dropped: extraction's discards, and unparsed input a reply cleared.
    virtual void bytesDiscarded(const QByteArray& bytes) = 0;
};

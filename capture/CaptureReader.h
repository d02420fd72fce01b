#pragma once

#include "capture/CapturePacket.h"

#include <QString>

#include <functional>
#include <vector>

// Reads a capture file that CaptureWriter (or the tap) wrote.
class CaptureReader
{
public:
    // Every packet in file order; false with the reason in error() when the file cannot be
    // read, is not of our link type, or holds a packet without a known direction byte.
    bool read(const QString& path);
    // The same, each packet handed to `visit` as it is read instead of kept, so a large file is
    // never held whole; `visit` returns false to stop there (read then returns true).
    bool read(const QString& path, const std::function<bool(const CapturePacket&)>& visit);
    QString error() const { return m_error; }
    const std::vector<CapturePacket>& packets() const { return m_packets; }

private:
    bool fail(const QString& reason);

    std::vector<CapturePacket> m_packets;
    QString m_error;
};

#pragma once

#include "capture/CapturePacket.h"

#include <QString>

#include <vector>

// Reads a capture file that CaptureWriter (or the tap) wrote.
class CaptureReader
{
public:
    // Every packet in file order; false with the reason in error() when the file cannot be
    // read, is not of our link type, or holds a packet without a known direction byte.
    bool read(const QString& path);
    QString error() const { return m_error; }
    const std::vector<CapturePacket>& packets() const { return m_packets; }

private:
    bool fail(const QString& reason);

    std::vector<CapturePacket> m_packets;
    QString m_error;
};

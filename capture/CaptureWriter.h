#pragma once

#include "capture/CapturePacket.h"
#include "transport/LineObserver.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <mutex>

struct pcap;
struct pcap_dumper;

// Writes a capture file: one packet per call, microsecond stamps, flushed after each
// packet so a killed process leaves a readable file. Safe to call from any thread.
class CaptureWriter : public LineObserver
{
public:
    CaptureWriter();
    ~CaptureWriter() override;
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates (or truncates) the file; false with the reason in error().
    bool open(const QString& path);
    void close();
    bool isOpen() const;
    QString path() const;
    // The reason of the failed open, or of the first failed write.
    QString error() const;
    std::uint64_t packets() const;

    // Called once, on the first write that fails, from the thread that wrote; later packets are
    // dropped until the file is opened again.
    void setFailureHandler(std::function<void(const QString&)> handler);

    bool write(CapturePacket::Direction direction, const QByteArray& bytes);

    std::uint64_t frameReceived(const QByteArray& frame) override;
    void bytesSent(const QByteArray& bytes) override;
    void bytesDiscarded(const QByteArray& bytes) override;

    // Largest packet body; a longer run of discarded bytes is split.
    static constexpr int kMaxBytes = 65535;

private:
    bool writeLocked(CapturePacket::Direction direction, const char* data, int size);
    void closeLocked();

    mutable std::mutex m_mutex;
    pcap* m_pcap = nullptr;
    pcap_dumper* m_dumper = nullptr;
    QString m_path;
    QString m_error;
    std::uint64_t m_packets = 0;
    bool m_failed = false;
    std::function<void(const QString&)> m_onFailure;
};

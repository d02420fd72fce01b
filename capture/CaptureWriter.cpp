#include "capture/CaptureWriter.h"

#include <pcap/pcap.h>

#include <QFile>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int kSnapLength = CaptureWriter::kMaxBytes + CapturePacket::kDirectionSize;

// The reason of a failed write; a stream that failed without an errno still says it failed.
QString systemError(int error)
{
    if (error == 0)
        return QStringLiteral("the file did not take the bytes written to it");
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

CaptureWriter::CaptureWriter() = default;

CaptureWriter::~CaptureWriter()
{
    close();
}

bool CaptureWriter::open(const QString& path)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    closeLocked();
    m_error.clear();
    m_failed = false;
    m_packets = 0;
    m_path = path;
    if (path.isEmpty()) {
        m_error = QStringLiteral("no file name given");
        return false;
    }
    m_pcap = pcap_open_dead_with_tstamp_precision(CapturePacket::kLinkType, kSnapLength,
                                                  PCAP_TSTAMP_PRECISION_MICRO);
    if (!m_pcap) {
        m_error = QStringLiteral("libpcap could not start a capture");
        return false;
    }
    m_dumper = pcap_dump_open(m_pcap, QFile::encodeName(path).constData());
    if (!m_dumper) {
        m_error = QString::fromLocal8Bit(pcap_geterr(m_pcap));
        pcap_close(m_pcap);
        m_pcap = nullptr;
        return false;
    }
    // The header alone already makes a file that readers accept; a file that cannot take even
    // that (a full disk, /dev/full) is refused here with the system's reason.
    errno = 0;
    if (pcap_dump_flush(m_dumper) != 0 || std::ferror(pcap_dump_file(m_dumper))) {
        m_error = systemError(errno);
        closeLocked();
        return false;
    }
    return true;
}

void CaptureWriter::close()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    closeLocked();
}

void CaptureWriter::closeLocked()
{
    if (m_dumper)
        pcap_dump_close(m_dumper);
    if (m_pcap)
        pcap_close(m_pcap);
    m_dumper = nullptr;
    m_pcap = nullptr;
}

bool CaptureWriter::isOpen() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_dumper != nullptr;
}

QString CaptureWriter::path() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_path;
}

QString CaptureWriter::error() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_error;
}

std::uint64_t CaptureWriter::packets() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_packets;
}

void CaptureWriter::setFailureHandler(std::function<void(const QString&)> handler)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_onFailure = std::move(handler);
}

bool CaptureWriter::write(CapturePacket::Direction direction, const QByteArray& bytes)
{
    std::function<void(const QString&)> report;
    QString reason;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (!m_dumper || m_failed)
            return false;
        // An empty write still marks its moment; a long one becomes several packets.
        int offset = 0;
        do {
            const int size = qMin(bytes.size() - offset, kMaxBytes);
            if (!writeLocked(direction, bytes.constData() + offset, size))
                break;
            offset += size;
        } while (offset < bytes.size());
        if (!m_failed)
            return true;
        report = m_onFailure;
        reason = m_error;
    }
    // Outside the lock: the handler may log, and logging may take its own locks.
    if (report)
        report(reason);
    return false;
}

bool CaptureWriter::writeLocked(CapturePacket::Direction direction, const char* data, int size)
{
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::vector<u_char> packet(static_cast<std::size_t>(size) + CapturePacket::kDirectionSize);
    packet[0] = static_cast<u_char>(direction);
    if (size > 0)
        std::memcpy(packet.data() + CapturePacket::kDirectionSize, data, static_cast<std::size_t>(size));
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(now / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(now % 1000000);
    header.caplen = static_cast<bpf_u_int32>(packet.size());
    header.len = header.caplen;
    // errno is read before anything else can set it; pcap_dump() itself reports nothing.
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, packet.data());
    const int dumpErrno = errno;
    errno = 0;
    const bool flushed = pcap_dump_flush(m_dumper) == 0;
    const int flushErrno = errno;
    if (!flushed || std::ferror(pcap_dump_file(m_dumper))) {
        m_failed = true;
        m_error = QStringLiteral("writing %1 failed: %2")
                      .arg(m_path, systemError(flushErrno ? flushErrno : dumpErrno));
        return false;
    }
    ++m_packets;
    return true;
}

std::uint64_t CaptureWriter::frameReceived(const QByteArray& frame)
{
    write(CapturePacket::Direction::PcToUnit, frame);
    return 0;
}

void CaptureWriter::bytesSent(const QByteArray& bytes)
{
    write(CapturePacket::Direction::UnitToPc, bytes);
}

void CaptureWriter::bytesDiscarded(const QByteArray& bytes)
{
    write(CapturePacket::Direction::Discarded, bytes);
}

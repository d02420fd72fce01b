#include "capture/CaptureReader.h"

#include <pcap/pcap.h>

#include <QFile>

bool CaptureReader::fail(const QString& reason)
{
    m_error = reason;
    return false;
}

bool CaptureReader::read(const QString& path)
{
    m_packets.clear();
    std::vector<CapturePacket> packets;
    const bool ok = read(path, [&packets](const CapturePacket& packet) {
        packets.push_back(packet);
        return true;
    });
    m_packets = std::move(packets);
    return ok;
}

bool CaptureReader::read(const QString& path, const std::function<bool(const CapturePacket&)>& visit)
{
    m_error.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pcap = pcap_open_offline_with_tstamp_precision(QFile::encodeName(path).constData(),
                                                           PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (!pcap)
        return fail(QString::fromLocal8Bit(errbuf));
    struct Closer
    {
        pcap_t* p;
        ~Closer() { pcap_close(p); }
    } closer{pcap};
    if (pcap_datalink(pcap) != CapturePacket::kLinkType)
        return fail(QStringLiteral("link type %1, not USER0 (%2): not a capture of this line")
                        .arg(pcap_datalink(pcap))
                        .arg(CapturePacket::kLinkType));
    CapturePacket packet;
    for (std::uint64_t number = 1;; ++number) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int got = pcap_next_ex(pcap, &header, &data);
        if (got == PCAP_ERROR_BREAK)
            return true;
        const auto where = [number] { return QStringLiteral("packet %1").arg(number); };
        if (got != 1)
            return fail(QStringLiteral("%1: %2").arg(where(), QString::fromLocal8Bit(pcap_geterr(pcap))));
        if (header->caplen < header->len)
            return fail(QStringLiteral("%1: cut short (%2 of %3 bytes)")
                            .arg(where())
                            .arg(header->caplen)
                            .arg(header->len));
        if (header->caplen < CapturePacket::kDirectionSize || !CapturePacket::isDirection(data[0]))
            return fail(QStringLiteral("%1: no direction byte 0, 1 or 2").arg(where()));
        packet.direction = static_cast<CapturePacket::Direction>(data[0]);
        packet.microseconds = std::int64_t(header->ts.tv_sec) * 1000000 + header->ts.tv_usec;
        packet.bytes = QByteArray(reinterpret_cast<const char*>(data) + CapturePacket::kDirectionSize,
                                  int(header->caplen) - CapturePacket::kDirectionSize);
        if (!visit(packet))
            return true;
    }
}

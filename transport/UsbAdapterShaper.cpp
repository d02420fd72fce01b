#include "transport/UsbAdapterShaper.h"

#include <algorithm>
#include <utility>

UsbAdapterShaper::UsbAdapterShaper(int packetBytes, int latencyMs, Sink sink, QObject* timerParent)
    : m_packetBytes(std::max(1, packetBytes)), m_sink(std::move(sink))
{
    m_latency.setParent(timerParent);
    m_latency.setSingleShot(true);
    m_latency.setTimerType(Qt::PreciseTimer);
    m_latency.setInterval(std::max(1, latencyMs));
    QObject::connect(&m_latency, &QTimer::timeout, &m_latency, [this] { flush(); });
}

void UsbAdapterShaper::push(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    const bool wasEmpty = m_held.isEmpty();
    m_held += bytes;
    const bool sentFull = m_held.size() >= m_packetBytes;
    release();
    // The timer runs from the oldest byte held: one that was waiting, or the first after a
    // full packet left.
    if (m_held.isEmpty())
        m_latency.stop();
    else if (wasEmpty || sentFull)
        m_latency.start();
}

void UsbAdapterShaper::release()
{
    int at = 0;
    while (m_held.size() - at >= m_packetBytes) {
        m_sink(m_held.mid(at, m_packetBytes));
        at += m_packetBytes;
    }
    m_held.remove(0, at);
}

void UsbAdapterShaper::flush()
{
    m_latency.stop();
    release();
    if (!m_held.isEmpty())
        m_sink(std::exchange(m_held, QByteArray()));
}

void UsbAdapterShaper::clear()
{
    m_latency.stop();
    m_held.clear();
}

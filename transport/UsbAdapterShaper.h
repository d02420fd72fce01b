#pragma once

#include <QByteArray>
#include <QTimer>

#include <functional>

// A USB serial adapter between the line and the PC: the bytes it takes from the line leave
// in packets, one when a packet is full, or with what there is once the latency timer has run
// from the oldest byte held. Owner thread only.
class UsbAdapterShaper
{
public:
    using Sink = std::function<void(const QByteArray& packet)>;

    // `timerParent` owns the shaper (and so its timer, whose events are known as that object's).
    UsbAdapterShaper(int packetBytes, int latencyMs, Sink sink, QObject* timerParent);

    // Bytes as they come off the line.
    void push(const QByteArray& bytes);
    qint64 heldBytes() const { return m_held.size(); }
    // What is held goes now, in packets.
    void flush();
    void clear();

private:
    void release();

    int m_packetBytes;
    Sink m_sink;
    QByteArray m_held;
    QTimer m_latency;
};

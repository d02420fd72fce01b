#pragma once

#include <QByteArray>
#include <QTimer>

#include <deque>
#include <functional>

// Holds bytes until a cable would have carried them: each byte leaves no earlier than its last
// stop bit would have, at the character time in force when it was handed over, behind the
// bytes before it. Bytes go out in chunks of about a millisecond by a precise timer; the last
// byte of each hand-over leaves at its own time. No timer runs while nothing is held.
// Owner thread only.
class LinePacer
{
public:
    using Sink = std::function<void(const QByteArray& bytes)>;
    // Nanoseconds one character takes now (0: the bytes are not held).
    using CharacterTime = std::function<qint64()>;

    // `timerParent` owns the timer, so its events are known as that object's.
    LinePacer(CharacterTime characterNs, Sink sink, QObject* timerParent);

    void push(const QByteArray& bytes);
    // When the last byte handed over has left, on the clock of nowNs().
    qint64 lineFreeAtNs() const { return m_lineFreeNs; }
    qint64 heldBytes() const { return m_held; }
    // Everything held goes to the sink now.
    void flush();
    // Everything held is dropped; the line is free from now.
    void clear();

    // The monotonic clock the times are on (QDeadlineTimer's).
    static qint64 nowNs();

    // How much line time one chunk covers.
    static constexpr qint64 kChunkNs = 1000000;

private:
    struct Segment
    {
        QByteArray bytes;
        int sent = 0;
        qint64 firstDueNs = 0; // when bytes[0] may leave
        qint64 characterNs = 0;
        qint64 dueNs(int index) const { return firstDueNs + index * characterNs; }
        qint64 lastDueNs() const { return dueNs(bytes.size() - 1); }
    };

    void onTimer();
    void writeDue(qint64 now);
    void arm(qint64 now);

    CharacterTime m_characterNs;
    Sink m_sink;
    std::deque<Segment> m_queue;
    qint64 m_lineFreeNs = 0;
    qint64 m_held = 0;
    qint64 m_target = 0;  // when the armed timer should write next
    bool m_exact = false; // the target is a hand-over's last byte: met to the microsecond
    QTimer m_timer;
};

#pragma once

#include "transport/LineTiming.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

class LineObserver;
class LinePacer;
class LineTransport;
class UsbAdapterShaper;

// The one way the unit's bytes reach its line: written now, or held until their time (a fault's
// delay, the unit's own latency) behind those held before them, then through the line's noise,
// a cable's pace and an adapter's packets. What is held belongs to the line's session: it goes
// when the line closes or is lost. Owner thread only; the observer is shown each write as it
// was handed over.
class LineWriter : public QObject
{
    Q_OBJECT

public:
    // Bytes to write at dueNs (nowNs()'s clock; 0: now). The last piece of a held reply carries
    // its hold number; `exact` waits out the last millisecond awake (a latency to the microsecond).
    struct TimedWrite
    {
        QByteArray bytes;
        qint64 dueNs = 0;
        std::uint64_t hold = 0;
        bool exact = false;
    };
    // Changes bytes on their way to the PC as a noisy cable would, after the observer saw them.
    using LineNoise = std::function<void(QByteArray& bytes)>;
    // A held reply's last piece was written (true) or let go unwritten (false).
    using HeldEnded = std::function<void(std::uint64_t hold, bool written)>;

    // The line is not owned; it must outlive the writer.
    explicit LineWriter(LineTransport* line, QObject* parent = nullptr);
    ~LineWriter() override;

    // Not owned; nullptr: none. Settable from any thread.
    void setObserver(LineObserver* observer) { m_observer = observer; }
    void setHeldEnded(HeldEnded heldEnded) { m_heldEnded = std::move(heldEnded); }
    void setLineNoise(LineNoise noise) { m_lineNoise = std::move(noise); }

    // A cable's pace and a USB adapter's packets (all off: as handed over). `fallbackCharacterNs`
    // is the character time of a line without settings of its own.
    void setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs);
    const LineTiming& lineTiming() const { return m_timing; }

    bool isOpen() const;
    // Nothing is written while the line is closed.
    void write(const QByteArray& bytes);
    // A write with dueNs 0 goes now; any other waits behind those held.
    void schedule(TimedWrite write);

    static qint64 nowNs();
    bool holdsWrites() const { return !m_held.empty(); }
    // When the last held write is due; 0 when none is held.
    qint64 lastDueNs() const { return m_held.empty() ? 0 : m_held.back().dueNs; }
    std::size_t heldReplies() const { return m_heldReplies; }
    qint64 heldBytes() const { return m_heldBytes; }
    // What is held goes to the line now (an orderly end: the end frame still leaves).
    void flushHeld();
    // What is held goes unwritten.
    void dropHeld();

    // When what was handed to the line so far has left it (LinePacer's clock); 0 when untimed.
    qint64 lineFreeAtNs() const;
    // What line timing still holds goes to the line now.
    void flushLineTiming();
    // The line's session ended: nothing held belongs to the next one.
    void endSession();

    // Bytes handed to the line but not yet written to it.
    qint64 bytesToWrite() const;
    bool waitForBytesWritten(int msecs);

    // Bytes line timing holds at most (a peer that set a very slow rate and keeps asking); more
    // are dropped, with one message until the backlog has left.
    static constexpr qint64 kMaxLineTimingBytes = 1024 * 1024;
    // False (and one message) when `pacer` holds too much to take `bytes` as well.
    bool pacerTakes(LinePacer& pacer, const QByteArray& bytes, bool& overflowTold);

signals:
    void bytes_written(qint64 bytes);
    // A line for the log.
    void message(QString text);

private:
    void toTransport(const QByteArray& bytes);
    void popFront();
    void letGo(const TimedWrite& write);
    int timerMs(qint64 nowNs) const;
    void rearm();
    void writeDue();

    LineTransport* m_line;
    std::atomic<LineObserver*> m_observer{nullptr};
    HeldEnded m_heldEnded;
    LineNoise m_lineNoise;
    std::deque<TimedWrite> m_held;
    qint64 m_heldBytes = 0;
    std::size_t m_heldReplies = 0;
    QTimer m_heldTimer;
    LineTiming m_timing;
    qint64 m_fallbackCharacterNs = 0;
    bool m_toPcOverflow = false;
    // Declared last: their timers are children of this writer and go first.
    std::unique_ptr<UsbAdapterShaper> m_adapter;
    std::unique_ptr<LinePacer> m_toPc;
};

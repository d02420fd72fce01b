#include "transport/LineWriter.h"

#include "transport/LineObserver.h"
#include "transport/LinePacer.h"
#include "transport/LineTransport.h"
#include "transport/UsbAdapterShaper.h"

#include <QThread>

#include <algorithm>

namespace {

constexpr qint64 kNsPerMs = 1000000;
// A latency's last millisecond is waited out awake: a timer may fire that late.
constexpr qint64 kWakeEarlyNs = 1000000;

} // namespace

LineWriter::LineWriter(LineTransport* line, QObject* parent) : QObject(parent), m_line(line)
{
    m_heldTimer.setParent(this); // its events are known as this writer's unit's (log lines)
    m_heldTimer.setSingleShot(true);
    m_heldTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_heldTimer, &QTimer::timeout, this, &LineWriter::writeDue);
    connect(m_line, &LineTransport::bytesWritten, this, &LineWriter::bytes_written);
}

LineWriter::~LineWriter() = default;

qint64 LineWriter::nowNs()
{
    return LinePacer::nowNs();
}

bool LineWriter::isOpen() const
{
    return m_line->isOpen();
}

void LineWriter::write(const QByteArray& bytes)
{
    if (!m_line->isOpen())
        return;
    LineObserver* observer = m_observer.load();
    if (!m_toPc && !m_lineNoise) {
        m_line->write(bytes);
        if (observer)
            observer->bytesSent(bytes);
        return;
    }
    // Shown as the unit handed them over: a capture keeps its frames whole and clean.
    if (observer)
        observer->bytesSent(bytes);
    QByteArray onLine = bytes;
    if (m_lineNoise)
        m_lineNoise(onLine);
    if (!m_toPc)
        m_line->write(onLine);
    else if (pacerTakes(*m_toPc, onLine, m_toPcOverflow))
        m_toPc->push(onLine);
}

void LineWriter::schedule(TimedWrite write)
{
    if (write.dueNs == 0 && m_held.empty()) {
        this->write(write.bytes);
        return;
    }
    m_heldBytes += write.bytes.size();
    if (write.hold)
        ++m_heldReplies;
    m_held.push_back(std::move(write));
    if (m_held.size() == 1)
        rearm();
}

void LineWriter::popFront()
{
    const TimedWrite& write = m_held.front();
    m_heldBytes -= write.bytes.size();
    if (write.hold)
        --m_heldReplies;
    m_held.pop_front();
}

void LineWriter::letGo(const TimedWrite& write)
{
    if (write.hold && m_heldEnded)
        m_heldEnded(write.hold, false);
}

void LineWriter::flushHeld()
{
    while (!m_held.empty()) {
        const TimedWrite write = m_held.front();
        popFront();
        if (write.hold && m_heldEnded)
            m_heldEnded(write.hold, true);
        this->write(write.bytes);
    }
    m_heldTimer.stop();
}

void LineWriter::dropHeld()
{
    std::deque<TimedWrite> gone;
    gone.swap(m_held);
    m_heldBytes = 0;
    m_heldReplies = 0;
    m_heldTimer.stop();
    for (const TimedWrite& write : gone)
        letGo(write);
}

int LineWriter::timerMs(qint64 now) const
{
    const TimedWrite& first = m_held.front();
    const qint64 left = first.dueNs - now;
    if (first.exact)
        return int(std::max<qint64>(0, (left - kWakeEarlyNs) / kNsPerMs));
    return int(std::max<qint64>(0, (left + kNsPerMs - 1) / kNsPerMs));
}

void LineWriter::rearm()
{
    if (m_held.empty()) {
        m_heldTimer.stop();
        return;
    }
    m_heldTimer.start(timerMs(nowNs()));
}

void LineWriter::writeDue()
{
    qint64 now = nowNs();
    while (!m_held.empty()) {
        const TimedWrite& first = m_held.front();
        if (first.dueNs > now && first.exact && timerMs(now) == 0) {
            // The last fraction of a millisecond, awake: the event loop waits, other threads run.
            while (nowNs() < first.dueNs)
                QThread::yieldCurrentThread();
            now = nowNs();
        }
        if (first.dueNs > now)
            break;
        const TimedWrite write = first;
        popFront();
        if (write.hold && m_heldEnded)
            m_heldEnded(write.hold, true);
        this->write(write.bytes);
    }
    if (!m_held.empty())
        m_heldTimer.start(std::max(m_held.front().exact ? 0 : 1, timerMs(now)));
}

bool LineWriter::pacerTakes(LinePacer& pacer, const QByteArray& bytes, bool& overflowTold)
{
    if (pacer.heldBytes() == 0)
        overflowTold = false;
    if (pacer.heldBytes() + bytes.size() <= kMaxLineTimingBytes)
        return true;
    if (!overflowTold) {
        overflowTold = true;
        emit message(
            QStringLiteral("line timing: %1 bytes still on their way at this rate; %2 more do not fit "
                           "and are dropped (one line until the backlog has left)")
                .arg(pacer.heldBytes())
                .arg(bytes.size()));
    }
    return false;
}

void LineWriter::toTransport(const QByteArray& bytes)
{
    if (m_line->isOpen())
        m_line->write(bytes);
}

void LineWriter::setLineTiming(const LineTiming& timing, qint64 fallbackCharacterNs)
{
    m_timing = timing;
    m_fallbackCharacterNs = fallbackCharacterNs;
    m_toPc.reset();
    m_adapter.reset();
    if (timing.hasAdapter())
        m_adapter = std::make_unique<UsbAdapterShaper>(
            timing.adapterPacketBytes, timing.adapterLatencyMs,
            [this](const QByteArray& b) { toTransport(b); }, this);
    if (timing.toPc || timing.hasAdapter()) {
        const auto characterNs = [this] {
            const qint64 own = m_line->characterNs();
            return own > 0 ? own : m_fallbackCharacterNs;
        };
        m_toPc = std::make_unique<LinePacer>(
            timing.toPc ? LinePacer::CharacterTime(characterNs) : LinePacer::CharacterTime(),
            [this](const QByteArray& b) {
                if (m_adapter)
                    m_adapter->push(b);
                else
                    toTransport(b);
            },
            this);
    }
}

qint64 LineWriter::lineFreeAtNs() const
{
    return m_toPc ? m_toPc->lineFreeAtNs() : 0;
}

void LineWriter::flushLineTiming()
{
    if (m_toPc)
        m_toPc->flush();
    if (m_adapter)
        m_adapter->flush();
}

void LineWriter::endSession()
{
    // Held for a line that has since closed or been lost: no request of a later session's.
    dropHeld();
    if (m_toPc)
        m_toPc->clear();
    if (m_adapter)
        m_adapter->clear();
}

qint64 LineWriter::bytesToWrite() const
{
    return m_line->isOpen() ? m_line->bytesToWrite() : 0;
}

bool LineWriter::waitForBytesWritten(int msecs)
{
    return m_line->isOpen() && m_line->waitForBytesWritten(msecs);
}

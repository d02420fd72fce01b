#include "transport/LinePacer.h"

#include <QDeadlineTimer>
#include <QThread>

#include <algorithm>

namespace {

constexpr qint64 kNsPerMs = 1000000;
// A timer counts whole milliseconds and may wake a little late: for a last byte it is set to
// wake this much early, and the rest is waited out awake.
constexpr qint64 kWakeEarlyNs = 500000;

} // namespace

LinePacer::LinePacer(CharacterTime characterNs, Sink sink, QObject* timerParent)
    : m_characterNs(std::move(characterNs)), m_sink(std::move(sink))
{
    m_timer.setParent(timerParent);
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { onTimer(); });
}

qint64 LinePacer::nowNs()
{
    return QDeadlineTimer::current(Qt::PreciseTimer).deadlineNSecs();
}

void LinePacer::push(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    const qint64 character = m_characterNs ? m_characterNs() : 0;
    if (character <= 0 && m_queue.empty()) {
        m_sink(bytes);
        return;
    }
    const qint64 now = nowNs();
    Segment segment;
    segment.bytes = bytes;
    segment.characterNs = std::max<qint64>(character, 0);
    // Behind what is still on the line; the first byte's stop bit ends one character later.
    segment.firstDueNs = std::max(now, m_lineFreeNs) + segment.characterNs;
    m_lineFreeNs = segment.lastDueNs();
    m_held += bytes.size();
    m_queue.push_back(std::move(segment));
    if (!m_timer.isActive())
        arm(now);
}

void LinePacer::flush()
{
    m_timer.stop();
    QByteArray out;
    for (const Segment& segment : m_queue)
        out += segment.bytes.mid(segment.sent);
    m_queue.clear();
    m_held = 0;
    m_lineFreeNs = std::min(m_lineFreeNs, nowNs());
    if (!out.isEmpty())
        m_sink(out);
}

void LinePacer::clear()
{
    m_timer.stop();
    m_queue.clear();
    m_held = 0;
    m_lineFreeNs = std::min(m_lineFreeNs, nowNs());
}

void LinePacer::onTimer()
{
    qint64 now = nowNs();
    if (m_exact && now < m_target) {
        // The last fraction of a millisecond, awake: the event loop waits, other threads run.
        while (now < m_target) {
            QThread::yieldCurrentThread();
            now = nowNs();
        }
    }
    writeDue(now);
    arm(nowNs());
}

void LinePacer::writeDue(qint64 now)
{
    QByteArray out;
    while (!m_queue.empty()) {
        Segment& segment = m_queue.front();
        int end = segment.sent;
        // Bytes are due in order: find the first one that is not.
        if (segment.characterNs > 0)
            end = int(std::min<qint64>(
                segment.bytes.size(),
                now < segment.firstDueNs ? 0 : (now - segment.firstDueNs) / segment.characterNs + 1));
        else
            end = segment.bytes.size();
        if (end > segment.sent) {
            out += segment.bytes.mid(segment.sent, end - segment.sent);
            m_held -= end - segment.sent;
            segment.sent = end;
        }
        if (segment.sent < segment.bytes.size())
            break;
        m_queue.pop_front();
    }
    if (!out.isEmpty())
        m_sink(out);
}

void LinePacer::arm(qint64 now)
{
    if (m_queue.empty())
        return;
    const Segment& segment = m_queue.front();
    const qint64 next = segment.dueNs(segment.sent);
    const qint64 last = segment.lastDueNs();
    // About a millisecond of bytes at a time, the hand-over's last byte on its own time.
    m_target = std::min(last, std::max(next, now + kChunkNs));
    m_exact = m_target == last;
    // A chunk's wake rounds up to the next millisecond, never early; one that would pass the
    // last byte's time is that time.
    qint64 ms = (std::max<qint64>(0, m_target - now) + kNsPerMs - 1) / kNsPerMs;
    if (!m_exact && now + ms * kNsPerMs > last - kWakeEarlyNs) {
        m_target = last;
        m_exact = true;
    }
    if (m_exact)
        ms = std::max<qint64>(0, (m_target - now - kWakeEarlyNs) / kNsPerMs);
    m_timer.start(int(std::min<qint64>(ms, 1 << 30)));
}

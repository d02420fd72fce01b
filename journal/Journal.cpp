#include "journal/Journal.h"

#include <algorithm>
#include <chrono>

Journal::Journal(QObject* parent) : QObject(parent)
{
    qRegisterMetaType<JournalEvent>();
}

int Journal::unit() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_unit;
}

void Journal::setUnit(int unit)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_unit = unit;
}

std::size_t Journal::capacity() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_capacity;
}

void Journal::setCapacity(std::size_t capacity)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_capacity = std::max<std::size_t>(1, capacity);
    while (m_events.size() > m_capacity)
        m_events.pop_front();
}

std::uint64_t Journal::append(JournalEvent event)
{
    std::uint64_t seq;
    bool waiting;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        // Under the lock, so time never runs backwards along seq.
        event.timeUs = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
        seq = event.seq = ++m_lastSeq;
        event.unit = m_unit;
        if (m_events.size() >= m_capacity)
            m_events.pop_front();
        m_events.push_back(std::move(event));
        for (const auto& observer : m_observers)
            observer.second(m_events.back());
        waiting = m_waiters > 0;
    }
    // The unit's thread pays for a wake-up only when a reader waits.
    if (waiting)
        m_appended.notify_all();
    emit eventAdded(seq);
    return seq;
}

std::uint64_t Journal::append(JournalEvent::Type type, const QJsonObject& keys)
{
    JournalEvent event;
    event.type = type;
    event.keys = keys;
    return append(std::move(event));
}

void Journal::collect(std::uint64_t seq, std::size_t limit, const Filter& filter,
                      std::vector<JournalEvent>& found) const
{
    if (m_events.empty() || found.size() >= limit)
        return;
    // Numbers run without gaps, so an event's place follows from its seq.
    const std::uint64_t first = m_events.front().seq;
    const std::size_t begin = seq < first ? 0 : std::size_t(seq - first + 1);
    for (std::size_t i = begin; i < m_events.size() && found.size() < limit; ++i) {
        if (!filter || filter(m_events[i]))
            found.push_back(m_events[i]);
    }
}

std::uint64_t Journal::scan(std::uint64_t seq, std::size_t limit, const Filter& filter,
                            std::vector<JournalEvent>& found) const
{
    while (found.size() < limit) {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_events.empty())
            return std::max(seq, m_lastSeq);
        // Numbers run without gaps, so an event's place follows from its seq; events that went
        // while the lock was let go are passed over as if gone before.
        const std::uint64_t first = m_events.front().seq;
        const std::size_t begin = seq < first ? 0 : std::size_t(seq - first + 1);
        const std::size_t end = std::min(m_events.size(), begin + kScanSlice);
        for (std::size_t i = begin; i < end && found.size() < limit; ++i) {
            seq = m_events[i].seq;
            if (!filter || filter(m_events[i]))
                found.push_back(m_events[i]);
        }
        if (end == m_events.size())
            break;
    }
    return seq;
}

std::vector<JournalEvent> Journal::since(std::uint64_t seq, std::size_t limit, const Filter& filter) const
{
    std::vector<JournalEvent> found;
    scan(seq, limit, filter, found);
    return found;
}

std::vector<JournalEvent> Journal::waitSince(std::uint64_t seq, std::size_t limit, const Filter& filter,
                                             int timeoutMs)
{
    std::vector<JournalEvent> found;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    std::uint64_t seen = scan(seq, limit, filter, found);
    if (!found.empty() || limit == 0)
        return found;
    std::unique_lock<std::mutex> locker(m_mutex);
    // What came between the scan and the lock.
    collect(seen, limit, filter, found);
    if (!found.empty())
        return found;
    // Each wake-up looks only at what came since the last look.
    seen = std::max(seen, m_lastSeq);
    ++m_waiters;
    while (found.empty() && !m_closing) {
        if (!m_appended.wait_until(locker, deadline, [&] { return m_closing || m_lastSeq > seen; }))
            break;
        collect(seen, limit, filter, found);
        seen = m_lastSeq;
    }
    --m_waiters;
    return found;
}

void Journal::wakeWaiters()
{
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_closing = true;
    }
    m_appended.notify_all();
}

void Journal::allowWaits()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_closing = false;
}

int Journal::waiting() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_waiters;
}

void Journal::clear()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_events.clear();
}

int Journal::addObserver(Observer observer)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    const int id = m_nextObserver++;
    m_observers.emplace_back(id, std::move(observer));
    return id;
}

void Journal::removeObserver(int id)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_observers.erase(
        std::remove_if(m_observers.begin(), m_observers.end(),
                       [id](const std::pair<int, Observer>& entry) { return entry.first == id; }),
        m_observers.end());
}

std::vector<JournalEvent> Journal::last(std::size_t count) const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    const std::size_t begin = m_events.size() > count ? m_events.size() - count : 0;
    return std::vector<JournalEvent>(m_events.begin() + std::ptrdiff_t(begin), m_events.end());
}

std::uint64_t Journal::lastSeq() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_lastSeq;
}

std::uint64_t Journal::firstSeq() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_events.empty() ? 0 : m_events.front().seq;
}

std::size_t Journal::size() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_events.size();
}

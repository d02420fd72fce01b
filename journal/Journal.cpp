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
    }
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

std::vector<JournalEvent> Journal::since(std::uint64_t seq, std::size_t limit, const Filter& filter) const
{
    std::vector<JournalEvent> found;
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_events.empty() || limit == 0)
        return found;
    // Numbers run without gaps, so an event's place follows from its seq.
    const std::uint64_t first = m_events.front().seq;
    const std::size_t begin = seq < first ? 0 : std::size_t(seq - first + 1);
    for (std::size_t i = begin; i < m_events.size() && found.size() < limit; ++i) {
        if (!filter || filter(m_events[i]))
            found.push_back(m_events[i]);
    }
    return found;
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

#include "journal/EventSubscription.h"

#include <algorithm>
#include <chrono>

namespace {

// A queued event's share of the bound: its bytes twice (they go out as hex) and the rest of its line.
std::size_t weight(const JournalEvent& event)
{
    return std::size_t(event.bytes.size()) * 2 + 256;
}

} // namespace

EventSubscription::EventSubscription(std::size_t maxEvents, std::size_t maxBytes)
    : m_maxEvents(std::max<std::size_t>(1, maxEvents)), m_maxBytes(maxBytes)
{
}

void EventSubscription::offer(const JournalEvent& event)
{
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_closed)
            return;
        const std::size_t size = weight(event);
        // Once behind, the reader hears of the loss before anything newer, so the gap stays one gap.
        if (m_lost || m_queue.size() >= m_maxEvents || m_bytes + size > m_maxBytes) {
            ++m_lost;
            return;
        }
        m_queue.push_back(event);
        m_bytes += size;
    }
    m_ready.notify_one();
}

EventSubscription::Batch EventSubscription::next(int timeoutMs, std::size_t maxLines)
{
    Batch batch;
    std::vector<JournalEvent> taken;
    {
        std::unique_lock<std::mutex> locker(m_mutex);
        m_ready.wait_for(locker, std::chrono::milliseconds(std::max(0, timeoutMs)),
                         [this] { return m_closed || m_lost || !m_queue.empty(); });
        const std::size_t count = std::min(std::max<std::size_t>(1, maxLines), m_queue.size());
        taken.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            m_bytes -= weight(m_queue.front());
            taken.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        if (m_queue.empty() && m_lost) {
            batch.lost = m_lost;
            m_lost = 0;
        }
        batch.closed = m_closed && m_queue.empty();
    }
    // Written on the reader's thread, never the unit's.
    batch.lines.reserve(taken.size());
    for (const JournalEvent& event : taken)
        batch.lines.push_back(event.toJsonLine());
    return batch;
}

bool EventSubscription::isClosed() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_closed;
}

void EventSubscription::close()
{
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_closed = true;
        m_queue.clear();
        m_bytes = 0;
        m_lost = 0;
    }
    m_ready.notify_all();
}

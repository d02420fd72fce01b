#pragma once

#include "journal/JournalEvent.h"

#include <QByteArray>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// One reader of an EventFeed: the events of every followed unit, in order per unit, queued
// up to a bound and pulled by the reader's own thread. Thread-safe.
class EventSubscription
{
public:
    struct Batch
    {
        std::vector<QByteArray> lines; // one JSON line per event, each with its newline
        // Events dropped because the reader fell behind, all after `lines` and before what
        // the next pull brings; said once per time it fell behind. 0: none.
        std::uint64_t lost = 0;
        // The feed closed or the reader unsubscribed: nothing more will come.
        bool closed = false;
    };

    EventSubscription(std::size_t maxEvents, std::size_t maxBytes);

    // Waits up to timeoutMs for events (none when something is queued, the subscription closed
    // or it has a loss to tell), then takes up to maxLines of them. An empty, open batch: the
    // time passed.
    Batch next(int timeoutMs, std::size_t maxLines = 1000);
    bool isClosed() const;
    // Ends the subscription; a blocked next() returns at once. Queued events are dropped.
    void close();

private:
    friend class EventFeed;
    // From the appending thread, under its journal's lock.
    void offer(const JournalEvent& event);

    const std::size_t m_maxEvents;
    const std::size_t m_maxBytes;
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<JournalEvent> m_queue; // guarded by m_mutex, as everything below
    std::size_t m_bytes = 0;          // the queued events' weight
    std::uint64_t m_lost = 0;         // dropped since the queue overflowed; nothing is queued until told
    bool m_closed = false;
};

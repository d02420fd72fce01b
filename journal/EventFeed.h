#pragma once

#include "journal/EventSubscription.h"

#include <QMetaObject>

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

class Journal;

// The events of any number of journals as they are appended, handed to any number of
// subscribers, each pulling from a bounded queue of its own on its own thread. With nobody
// subscribed an append costs its journal one atomic load. Thread-safe.
class EventFeed
{
public:
    static constexpr std::size_t kDefaultMaxEvents = 10000;
    static constexpr std::size_t kDefaultMaxBytes = 16 * 1024 * 1024;

    explicit EventFeed(std::size_t maxEvents = kDefaultMaxEvents, std::size_t maxBytes = kDefaultMaxBytes);
    ~EventFeed();
    EventFeed(const EventFeed&) = delete;
    EventFeed& operator=(const EventFeed&) = delete;

    // Events appended from now on go to every subscriber. A journal destroyed while followed
    // is let go by itself, but not while this feed goes or unfollows it on another thread.
    void follow(Journal* journal);
    void unfollow(Journal* journal);

    // A new subscriber, seeing events appended from now on; a closed one once the feed closed.
    std::shared_ptr<EventSubscription> subscribe();
    // The reader is gone: the subscription closes and gets nothing more.
    void unsubscribe(const std::shared_ptr<EventSubscription>& subscription);
    int subscriberCount() const;
    // Closes every subscription (a blocked next() returns at once) and every later one.
    void close();

private:
    void offer(const JournalEvent& event);
    void forget(Journal* journal);

    struct Followed
    {
        int observer = 0;
        QMetaObject::Connection destroyed;
    };

    const std::size_t m_maxEvents;
    const std::size_t m_maxBytes;
    std::atomic<int> m_subscriberCount{0};
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<EventSubscription>> m_subscribers; // guarded by m_mutex
    bool m_closed = false;                                         // guarded by m_mutex
    std::mutex m_followMutex;
    std::map<Journal*, Followed> m_followed; // guarded by m_followMutex
};

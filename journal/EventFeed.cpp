#include "journal/EventFeed.h"

#include "journal/Journal.h"

#include <algorithm>

EventFeed::EventFeed(std::size_t maxEvents, std::size_t maxBytes)
    : m_maxEvents(maxEvents), m_maxBytes(maxBytes)
{
}

EventFeed::~EventFeed()
{
    std::map<Journal*, Followed> followed;
    {
        std::lock_guard<std::mutex> locker(m_followMutex);
        followed.swap(m_followed);
    }
    for (auto& entry : followed) {
        QObject::disconnect(entry.second.destroyed);
        entry.first->removeObserver(entry.second.observer);
    }
    close();
}

void EventFeed::follow(Journal* journal)
{
    if (!journal)
        return;
    std::lock_guard<std::mutex> locker(m_followMutex);
    if (m_followed.count(journal))
        return;
    Followed followed;
    followed.observer = journal->addObserver([this](const JournalEvent& event) {
        // The one cost on the unit's thread while nobody listens.
        if (m_subscriberCount.load(std::memory_order_acquire) > 0)
            offer(event);
    });
    // Direct: the journal's own thread, while it goes; its observers go with it.
    followed.destroyed = QObject::connect(journal, &QObject::destroyed, [this, journal] { forget(journal); });
    m_followed.emplace(journal, followed);
}

void EventFeed::unfollow(Journal* journal)
{
    Followed followed;
    {
        std::lock_guard<std::mutex> locker(m_followMutex);
        const auto it = m_followed.find(journal);
        if (it == m_followed.end())
            return;
        followed = it->second;
        m_followed.erase(it);
    }
    QObject::disconnect(followed.destroyed);
    journal->removeObserver(followed.observer);
}

void EventFeed::forget(Journal* journal)
{
    std::lock_guard<std::mutex> locker(m_followMutex);
    m_followed.erase(journal);
}

void EventFeed::offer(const JournalEvent& event)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    for (const std::shared_ptr<EventSubscription>& subscriber : m_subscribers)
        subscriber->offer(event);
}

std::shared_ptr<EventSubscription> EventFeed::subscribe()
{
    auto subscription = std::make_shared<EventSubscription>(m_maxEvents, m_maxBytes);
    std::lock_guard<std::mutex> locker(m_mutex);
    if (m_closed) {
        subscription->close();
        return subscription;
    }
    m_subscribers.push_back(subscription);
    m_subscriberCount.store(int(m_subscribers.size()), std::memory_order_release);
    return subscription;
}

void EventFeed::unsubscribe(const std::shared_ptr<EventSubscription>& subscription)
{
    if (!subscription)
        return;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_subscribers.erase(std::remove(m_subscribers.begin(), m_subscribers.end(), subscription),
                            m_subscribers.end());
        m_subscriberCount.store(int(m_subscribers.size()), std::memory_order_release);
    }
    subscription->close();
}

int EventFeed::subscriberCount() const
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return int(m_subscribers.size());
}

void EventFeed::close()
{
    std::vector<std::shared_ptr<EventSubscription>> subscribers;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_closed = true;
        subscribers.swap(m_subscribers);
        m_subscriberCount.store(0, std::memory_order_release);
    }
    for (const std::shared_ptr<EventSubscription>& subscriber : subscribers)
        subscriber->close();
}

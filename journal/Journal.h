#pragma once

#include "journal/JournalEvent.h"

#include <QObject>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

// The last events of one unit, numbered from 1 without gaps; the oldest go once the bound is
// reached. Appended from the unit's threads, read from any thread; readers may wait for events
// on threads of their own (never the unit's).
class Journal : public QObject
{
    Q_OBJECT

public:
    static constexpr std::size_t kDefaultCapacity = 100000;
    using Filter = std::function<bool(const JournalEvent& event)>;
    // Sees every event as it is appended, under the journal's lock (so in seq order, and never
    // after removeObserver returned): keep it short and never call back into the journal.
    using Observer = std::function<void(const JournalEvent& event)>;

    explicit Journal(QObject* parent = nullptr);

    int unit() const;
    void setUnit(int unit);
    std::size_t capacity() const;
    // At least 1; the oldest events beyond it go at once.
    void setCapacity(std::size_t capacity);

    // Numbers, stamps and keeps the event; its seq.
    std::uint64_t append(JournalEvent event);
    std::uint64_t append(JournalEvent::Type type, const QJsonObject& keys);

    // Events after `seq` (0: from the oldest kept) that pass the filter, oldest first, at most `limit`.
    std::vector<JournalEvent> since(std::uint64_t seq,
                                    std::size_t limit = std::numeric_limits<std::size_t>::max(),
                                    const Filter& filter = Filter()) const;
    // As since(), but with nothing to return waits up to timeoutMs for a matching event to be
    // appended; returns at once after wakeWaiters(). Never on the unit's own thread.
    std::vector<JournalEvent> waitSince(std::uint64_t seq, std::size_t limit, const Filter& filter,
                                        int timeoutMs);
    // Releases every waiter; from then on waitSince() answers at once, as since() does, until
    // allowWaits(). For a reader going away (a server stopping).
    void wakeWaiters();
    void allowWaits();
    // Readers blocked in waitSince now.
    int waiting() const;
    // Drops every kept event. Numbering goes on from lastSeq(), so a reader holding a seq stays
    // right; nothing is appended to say so (the caller notes why, e.g. a state reset).
    void clear();

    // An id for removeObserver.
    int addObserver(Observer observer);
    void removeObserver(int id);

    // The last `count` events, oldest first.
    std::vector<JournalEvent> last(std::size_t count) const;
    // The seq of the newest event (0: none yet) and of the oldest kept (0: none kept).
    std::uint64_t lastSeq() const;
    std::uint64_t firstSeq() const;
    std::size_t size() const;

signals:
    // On the thread that appended, after the journal's lock is let go.
    void eventAdded(quint64 seq);

private:
    // Events looked at under one hold of the lock by a reader: an append waits for no more.
    static constexpr std::size_t kScanSlice = 2048;

    // Appends to `found` the events after `seq` that pass the filter, up to `limit` in all.
    void collect(std::uint64_t seq, std::size_t limit, const Filter& filter,
                 std::vector<JournalEvent>& found) const;
    // As collect(), a slice at a time, letting the lock go between slices; the seq of the last
    // event looked at (at least `seq`).
    std::uint64_t scan(std::uint64_t seq, std::size_t limit, const Filter& filter,
                       std::vector<JournalEvent>& found) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_appended;
    int m_waiters = 0;      // blocked in waitSince
    bool m_closing = false; // wakeWaiters() called
    std::vector<std::pair<int, Observer>> m_observers;
    int m_nextObserver = 1;
    std::deque<JournalEvent> m_events;
    std::size_t m_capacity = kDefaultCapacity;
    std::uint64_t m_lastSeq = 0;
    int m_unit = 0;
};

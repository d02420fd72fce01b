#pragma once

#include "journal/JournalEvent.h"

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

// The last events of one unit, numbered from 1 without gaps; the oldest go once the bound is
// reached. Appended from the unit's threads, read from any thread.
class Journal : public QObject
{
    Q_OBJECT

public:
    static constexpr std::size_t kDefaultCapacity = 100000;
    using Filter = std::function<bool(const JournalEvent& event)>;

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
    mutable std::mutex m_mutex;
    std::deque<JournalEvent> m_events;
    std::size_t m_capacity = kDefaultCapacity;
    std::uint64_t m_lastSeq = 0;
    int m_unit = 0;
};

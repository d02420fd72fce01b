#pragma once

#include "transport/LineObserver.h"

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

class Journal;
class UnitStateRecorder;

// A session's own watcher of its line: every request cut from it and every discard goes to
// the unit's journal and recorded state as it happens, then on to the watcher the operator
// chose (a capture), if any. Thread-safe as LineObserver asks.
class JournalTap : public LineObserver
{
public:
    // A request as it arrived: its journal seq and when it was cut (steady clock, µs).
    struct Arrival
    {
        std::uint64_t seq = 0;
        qint64 steadyUs = 0;
    };

    JournalTap(Journal* journal, UnitStateRecorder* state);

    // Not owned; nullptr: none.
    void setNext(LineObserver* next) { m_next = next; }
    // While set, input the owner thread clears is a reply's doing, not extraction's.
    void setReplying(bool replying);
    // The oldest request not yet taken, in the order the device delivers them; {} when none.
    Arrival takeArrival();
    void clearArrivals();

    static qint64 steadyNowUs();

    void frameReceived(const QByteArray& frame) override;
    void bytesSent(const QByteArray& bytes) override;
    void bytesDiscarded(const QByteArray& bytes) override;

private:
    // Requests no gate takes (a closed session) must not pile up.
    static constexpr std::size_t kMaxArrivals = 4096;

    Journal* m_journal;
    UnitStateRecorder* m_state;
    std::atomic<LineObserver*> m_next{nullptr};
    std::atomic<Qt::HANDLE> m_replyThread{nullptr};
    std::mutex m_mutex;
    std::deque<Arrival> m_arrivals; // guarded by m_mutex
};

#pragma once

#include "transport/LineObserver.h"

#include <QtGlobal>

#include <atomic>
#include <cstdint>

class Journal;
class UnitStateRecorder;

// A session's own watcher of its line: every request cut from it and every discard goes to
// the unit's journal and recorded state as it happens, then on to the watcher the operator
// chose (a capture), if any. Thread-safe as LineObserver asks.
class JournalTap : public LineObserver
{
public:
    JournalTap(Journal* journal, UnitStateRecorder* state);

    // Not owned; nullptr: none.
    void setNext(LineObserver* next) { m_next = next; }
    // While set, input the owner thread clears is a reply's doing, not extraction's.
    void setReplying(bool replying);
    static qint64 steadyNowUs();

    // The request's journal event, its number returned for the request to carry.
    std::uint64_t frameReceived(const QByteArray& frame) override;
    void bytesSent(const QByteArray& bytes) override;
    void bytesDiscarded(const QByteArray& bytes) override;

private:
    Journal* m_journal;
    UnitStateRecorder* m_state;
    std::atomic<LineObserver*> m_next{nullptr};
    std::atomic<Qt::HANDLE> m_replyThread{nullptr};
};

#pragma once

#include "control/ControlReply.h"

#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

// Runs a piece of work on the thread that owns the units (this object's thread), for a caller
// on another thread, and waits a bounded time for its answer. The owner thread may be busy or
// shutting down: a caller never blocks it and is never blocked by it for longer than the bound.
class OwnerThreadCall : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTimeoutMs = 5000;

    // Made on the owner thread; work still queued when it goes is dropped.
    explicit OwnerThreadCall(int timeoutMs = kDefaultTimeoutMs, QObject* parent = nullptr);
    ~OwnerThreadCall() override;

    // The work's reply, or 503 when the owner thread did not take it within the bound or
    // calls were closed. Work given up on is skipped if it has not started yet, so a late
    // owner thread changes nothing the caller was told failed.
    ControlReply run(std::function<ControlReply()> work);
    // Every waiting caller is answered 503 now, every later one at once.
    void close();

private slots:
    // Owner thread: the work queued so far.
    void runQueued();

private:
    struct Call;

    int m_timeoutMs;
    std::mutex m_mutex;
    bool m_closed = false;                     // guarded by m_mutex, as the two below
    std::set<std::shared_ptr<Call>> m_waiting; // callers still waiting
    std::deque<std::shared_ptr<Call>> m_queue; // work the owner thread has not taken yet
};

#include "control/OwnerThreadCall.h"

#include <QMetaObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <future>

// Settled once, by whoever comes first: the owner thread with the work's reply, or the
// caller giving up, or close().
struct OwnerThreadCall::Call
{
    std::function<ControlReply()> work;
    std::promise<ControlReply> promise;
    std::atomic<bool> settled{false};
    // Taken once: by the owner thread to run the work, or by the caller to give up on it. Once
    // the work runs, the caller waits for its reply, so it is never told of a failure that the
    // work's changes belie.
    std::atomic<bool> taken{false};

    bool settle(ControlReply reply)
    {
        if (settled.exchange(true))
            return false;
        promise.set_value(std::move(reply));
        return true;
    }
};

namespace {

ControlReply closing()
{
    return ControlReply::error(503, QStringLiteral("the emulator is shutting down"));
}

} // namespace

OwnerThreadCall::OwnerThreadCall(int timeoutMs, QObject* parent) : QObject(parent), m_timeoutMs(timeoutMs) {}

OwnerThreadCall::~OwnerThreadCall()
{
    close();
}

ControlReply OwnerThreadCall::run(std::function<ControlReply()> work)
{
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    std::future<ControlReply> answer = call->promise.get_future();
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_closed)
            return closing();
        m_waiting.insert(call);
        // The work travels through our own locked queue, the wake-up through the event loop.
        // Posted under the lock: runQueued() takes it, so the event's making is seen to come
        // before its use by anything that checks (ThreadSanitizer cannot see into Qt's queue).
        // Queued, never blocking: a blocking call deadlocks while the owner thread waits for us.
        m_queue.push_back(call);
        QMetaObject::invokeMethod(this, "runQueued", Qt::QueuedConnection);
    }
    const bool answered =
        answer.wait_for(std::chrono::milliseconds(m_timeoutMs)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_waiting.erase(call);
    }
    if (!answered && !call->taken.exchange(true))
        call->settle(ControlReply::error(
            503, QStringLiteral("the unit's thread did not answer within %1 ms").arg(m_timeoutMs)));
    return answer.get();
}

void OwnerThreadCall::runQueued()
{
    std::deque<std::shared_ptr<Call>> calls;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        calls.swap(m_queue);
    }
    for (const std::shared_ptr<Call>& call : calls) {
        // Settled only by the work's own reply; a caller that gave up meanwhile is not told.
        if (!call->settled.load() && !call->taken.exchange(true))
            call->settle(call->work());
    }
}

void OwnerThreadCall::close()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_closed = true;
    for (const std::shared_ptr<Call>& call : m_waiting)
        call->settle(closing());
    m_waiting.clear();
    m_queue.clear();
}

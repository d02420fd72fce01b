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
    std::promise<ControlReply> promise;
    std::atomic<bool> settled{false};

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

OwnerThreadCall::OwnerThreadCall(QObject* context, int timeoutMs) : m_context(context), m_timeoutMs(timeoutMs)
{
}

OwnerThreadCall::~OwnerThreadCall()
{
    close();
}

ControlReply OwnerThreadCall::run(std::function<ControlReply()> work)
{
    auto call = std::make_shared<Call>();
    std::future<ControlReply> answer = call->promise.get_future();
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_closed)
            return closing();
        m_waiting.insert(call);
        // Queued, never blocking: a blocking call deadlocks while the owner thread waits for us.
        QMetaObject::invokeMethod(
            m_context,
            [call, work = std::move(work)] {
                if (call->settled.load())
                    return;
                // Settled only by the work's own reply; a caller that gave up meanwhile is not told.
                call->settle(work());
            },
            Qt::QueuedConnection);
    }
    const bool answered =
        answer.wait_for(std::chrono::milliseconds(m_timeoutMs)) == std::future_status::ready;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_waiting.erase(call);
    }
    if (!answered)
        call->settle(ControlReply::error(
            503, QStringLiteral("the unit's thread did not answer within %1 ms").arg(m_timeoutMs)));
    return answer.get();
}

void OwnerThreadCall::close()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_closed = true;
    for (const std::shared_ptr<Call>& call : m_waiting)
        call->settle(closing());
    m_waiting.clear();
}

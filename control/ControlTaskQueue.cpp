#include "control/ControlTaskQueue.h"

#include <utility>

ControlTaskQueue::ControlTaskQueue(int workers, std::function<void()> onFull)
    : m_workers(workers), m_onFull(std::move(onFull)), m_pool(std::size_t(workers))
{
}

void ControlTaskQueue::enqueue(std::function<void()> task)
{
    if (m_pending.fetch_add(1) >= m_workers)
        m_onFull();
    m_pool.enqueue([this, task = std::move(task)] {
        task();
        m_pending.fetch_sub(1);
    });
}

void ControlTaskQueue::shutdown()
{
    m_pool.shutdown();
}

#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>

// The library's pool of workers, told when a connection comes while every worker is taken
// (counting connections that wait for one), so room can be made for it.
class ControlTaskQueue : public httplib::TaskQueue
{
public:
    ControlTaskQueue(int workers, std::function<void()> onFull);

    void enqueue(std::function<void()> task) override;
    void shutdown() override;

private:
    const int m_workers;
    std::function<void()> m_onFull;
    std::atomic<int> m_pending{0}; // running and queued
    httplib::ThreadPool m_pool;
};

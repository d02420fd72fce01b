#pragma once

#include "protocol/FrameExtractor.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

#include <poll.h>
#include <unistd.h>

// Reads the PC end on a thread of its own and notes when each frame is complete, so
// gaps are measured where the PC program sees them, not on the GUI thread.
class FrameClock
{
public:
    explicit FrameClock(int fd) : m_fd(fd)
    {
        m_clock.start();
        m_thread = std::thread([this] { run(); });
    }
    ~FrameClock() { stop(); }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    struct Arrival
    {
        QByteArray frame;
        qint64 ms;
    };
    QList<Arrival> arrivals()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_arrivals;
    }
    bool endSeen()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_arrivals.isEmpty() && m_arrivals.last().frame.mid(7, 1) == QByteArray("\x02", 1);
    }

private:
    void run()
    {
        QByteArray pending;
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n <= 0)
                continue;
            const qint64 now = m_clock.elapsed();
            pending.append(buf, int(n));
            std::lock_guard<std::mutex> lock(m_mutex);
            for (QByteArray& frame : FrameExtractor::cutByLength(pending))
                m_arrivals.append({std::move(frame), now});
        }
    }

    int m_fd;
    QElapsedTimer m_clock;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    QList<Arrival> m_arrivals;
};

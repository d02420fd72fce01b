#include "control/ControlHttpServer.h"

#include "control/ControlStream.h"
#include "control/ControlTaskQueue.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <limits>

namespace {

thread_local ControlStream* t_current = nullptr;

// After an answer that left a body unread, what still comes is read and dropped until the
// request's time is up (a moment at least), so closing does not reset the connection before
// the client has sent its body and read the answer.
constexpr int kLingerMs = 500;

} // namespace

ControlHttpServer::ControlHttpServer(const Limits& limits) : m_limits(limits)
{
    new_task_queue = [this] {
        return new ControlTaskQueue(m_limits.workers, [this] { pushOutLongestWaiting(nullptr, nullptr); });
    };
    set_write_timeout(m_limits.writeTimeoutMs / 1000, (m_limits.writeTimeoutMs % 1000) * 1000);
}

void ControlHttpServer::widenBacklog()
{
    if (svr_sock_ != INVALID_SOCKET)
        ::listen(svr_sock_, SOMAXCONN);
}

ControlStream* ControlHttpServer::current()
{
    return t_current;
}

void ControlHttpServer::closeAll(int graceMs)
{
    std::unique_lock<std::mutex> locker(m_mutex);
    m_closing = true;
    for (ControlStream* stream : m_streams)
        if (stream->isWaiting())
            stream->shut();
    m_ended.wait_for(locker, std::chrono::milliseconds(graceMs), [this] { return m_streams.empty(); });
    for (ControlStream* stream : m_streams)
        stream->shut();
}

bool ControlHttpServer::pushOutLongestWaiting(const std::string* address, const ControlStream* spare)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    ControlStream* longest = nullptr;
    std::int64_t since = std::numeric_limits<std::int64_t>::max();
    for (ControlStream* stream : m_streams) {
        if (stream == spare || !stream->isWaiting() || stream->isShut() ||
            (address && stream->peerAddress() != *address))
            continue;
        if (stream->waitingSinceUs() < since) {
            since = stream->waitingSinceUs();
            longest = stream;
        }
    }
    if (longest)
        longest->shut();
    return longest != nullptr;
}

bool ControlHttpServer::process_and_close_socket(socket_t sock)
{
    // An answer goes out at once, not held back for the client's delayed acknowledgement.
    const int yes = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    ControlStream stream(sock, m_limits.writeTimeoutMs);
    bool registered = false;
    int sameAddress = 0;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (!m_closing) {
            for (const ControlStream* other : m_streams)
                sameAddress += other->peerAddress() == stream.peerAddress();
            m_streams.insert(&stream);
            registered = true;
        }
    }
    if (registered) {
        if (sameAddress >= m_limits.perAddress && !pushOutLongestWaiting(&stream.peerAddress(), &stream))
            stream.setRefusal(std::to_string(sameAddress) + " connections from " + stream.peerAddress() +
                              " are open already; try again");
        t_current = &stream;
        serve(stream);
        t_current = nullptr;
        std::lock_guard<std::mutex> locker(m_mutex);
        m_streams.erase(&stream);
        m_ended.notify_all();
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
}

void ControlHttpServer::serve(ControlStream& stream)
{
    for (std::size_t left = keep_alive_max_count_; left > 0 && !m_closing; --left) {
        if (!stream.awaitRequest(int(keep_alive_timeout_sec_) * 1000))
            return;
        stream.beginRequest(m_limits.requestReadMs);
        bool closed = false;
        const bool answered = process_request(stream, left == 1, closed, nullptr);
        if (stream.closeAfterAnswer()) {
            // Until the request's time is up, or a moment at least.
            ::shutdown(stream.socket(), SHUT_WR);
            stream.lingerUntilDeadline(kLingerMs);
            char sink[4096];
            while (stream.read(sink, sizeof sink) > 0) {
            }
            return;
        }
        if (!answered || closed)
            return;
    }
}

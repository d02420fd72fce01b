#include "control/ControlStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

namespace {

void addressOf(const sockaddr_storage& address, std::string* text, int* port)
{
    char buffer[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &v4->sin_addr, buffer, sizeof buffer);
        *port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], buffer, sizeof buffer);
        else
            ::inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof buffer);
        *port = ntohs(v6->sin6_port);
    }
    *text = buffer;
}

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               ControlStream::Clock::now().time_since_epoch())
        .count();
}

} // namespace

ControlStream::ControlStream(socket_t socket, int writeTimeoutMs)
    : m_socket(socket), m_writeTimeoutMs(writeTimeoutMs), m_deadline(Clock::now())
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        addressOf(address, &m_peer, &m_peerPort);
    length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        addressOf(address, &m_local, &m_localPort);
    m_waitingSinceUs = nowUs();
}

bool ControlStream::awaitRequest(int idleMs)
{
    m_waitingSinceUs = nowUs();
    if (m_begin < m_end)
        return true;
    return await(POLLIN, Clock::now() + std::chrono::milliseconds(idleMs));
}

void ControlStream::beginRequest(int readMs)
{
    m_deadline = Clock::now() + std::chrono::milliseconds(readMs);
    m_timedOut = false;
    m_closeAfter = false;
}

void ControlStream::lingerUntilDeadline(int atLeastMs)
{
    m_deadline = std::max(m_deadline, Clock::now() + std::chrono::milliseconds(atLeastMs));
}

void ControlStream::shut()
{
    if (!m_shut.exchange(true))
        ::shutdown(m_socket, SHUT_RDWR);
}

void ControlStream::setWaiting(bool waiting) const
{
    m_waiting = waiting;
}

bool ControlStream::await(short events, Clock::time_point deadline) const
{
    const bool reading = events & POLLIN;
    if (reading)
        setWaiting(true);
    bool ready = false;
    while (!m_shut) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            m_timedOut = reading;
            break;
        }
        pollfd entry{m_socket, events, 0};
        const int n = ::poll(&entry, 1, int(std::min<std::int64_t>(left.count() + 1, 60000)));
        if (n > 0) {
            ready = true;
            break;
        }
        if (n < 0 && errno != EINTR)
            break;
    }
    if (reading)
        setWaiting(false);
    return ready && !m_shut;
}

bool ControlStream::is_readable() const
{
    return m_begin < m_end || await(POLLIN, m_deadline);
}

bool ControlStream::is_writable() const
{
    return await(POLLOUT, Clock::now() + std::chrono::milliseconds(m_writeTimeoutMs));
}

ssize_t ControlStream::read(char* ptr, size_t size)
{
    if (m_begin == m_end) {
        if (!await(POLLIN, m_deadline))
            return -1;
        ssize_t n;
        do
            n = ::recv(m_socket, m_buffer, sizeof m_buffer, 0);
        while (n < 0 && errno == EINTR);
        if (n <= 0)
            return n;
        m_begin = 0;
        m_end = std::size_t(n);
    }
    const std::size_t count = std::min(size, m_end - m_begin);
    std::memcpy(ptr, m_buffer + m_begin, count);
    m_begin += count;
    return ssize_t(count);
}

ssize_t ControlStream::write(const char* ptr, size_t size)
{
    if (!is_writable())
        return -1;
    ssize_t n;
    // A client gone raises no SIGPIPE.
    do
        n = ::send(m_socket, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
}

void ControlStream::get_remote_ip_and_port(std::string& ip, int& port) const
{
    ip = m_peer;
    port = m_peerPort;
}

void ControlStream::get_local_ip_and_port(std::string& ip, int& port) const
{
    ip = m_local;
    port = m_localPort;
}

#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// One API connection as the HTTP library reads and writes it: the socket with one read buffer
// for the connection's whole life (bytes of a pipelined request stay for the next one), a
// total time for each request to arrive (not a time per byte), and a bound on each write.
// Served on one worker thread; shut() and the waiting state are for other threads.
class ControlStream : public httplib::Stream
{
public:
    using Clock = std::chrono::steady_clock;

    ControlStream(socket_t socket, int writeTimeoutMs);

    // The client's address as text (IPv4 or IPv6, an IPv4-mapped one as IPv4).
    const std::string& peerAddress() const { return m_peer; }

    // Waits up to `idleMs` for the first byte of the next request (one buffered already counts).
    bool awaitRequest(int idleMs);
    // The request that begins now must arrive whole within `readMs`.
    void beginRequest(int readMs);
    // Reads go on until the current request's time is up, or for `atLeastMs` from now.
    void lingerUntilDeadline(int atLeastMs);
    // The last read failed because the request took longer than its time.
    bool timedOut() const { return m_timedOut; }

    // Other threads: whether the worker waits for the client now, and since when (the start of
    // the current request or idle time), for choosing a connection to push out.
    bool isWaiting() const { return m_waiting.load(); }
    std::int64_t waitingSinceUs() const { return m_waitingSinceUs.load(); }
    // Any thread: every read and write fails from now on; the worker lets the connection go.
    void shut();
    bool isShut() const { return m_shut.load(); }

    // Set by a handler: the connection closes after this answer (a body left unread).
    void setCloseAfterAnswer() { m_closeAfter = true; }
    bool closeAfterAnswer() const { return m_closeAfter; }
    // Set before the request is read: what to answer (503) whatever it asks; empty: nothing.
    void setRefusal(const std::string& refusal) { m_refusal = refusal; }
    const std::string& refusal() const { return m_refusal; }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_socket; }

private:
    // Polls for `events` until the deadline; false on a timeout, an error or shut().
    bool await(short events, Clock::time_point deadline) const;
    void setWaiting(bool waiting) const;

    socket_t m_socket;
    int m_writeTimeoutMs;
    std::string m_peer;
    int m_peerPort = 0;
    std::string m_local;
    int m_localPort = 0;
    char m_buffer[4096];
    std::size_t m_begin = 0; // unread bytes are m_buffer[m_begin, m_end)
    std::size_t m_end = 0;
    Clock::time_point m_deadline;
    mutable bool m_timedOut = false;
    bool m_closeAfter = false;
    std::string m_refusal;
    mutable std::atomic<bool> m_waiting{false};
    std::atomic<std::int64_t> m_waitingSinceUs{0};
    std::atomic<bool> m_shut{false};
};

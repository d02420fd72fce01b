#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

class ControlStream;

// The library's HTTP server with each connection served our way: one stream for its whole
// life (pipelined requests answered in order), a total time for each request to arrive,
// TCP_NODELAY, a share of the workers per client address, room made for a new connection by
// pushing out the one that has waited longest for its client, and every connection shut at
// once when the server stops. The time between two requests and their number on a connection
// are the library's keep-alive settings.
class ControlHttpServer : public httplib::Server
{
public:
    struct Limits
    {
        int workers = 32;
        // Connections of one client address at once; more push out its longest waiting one.
        int perAddress = 28;
        // A request's line, headers and body, from its first byte.
        int requestReadMs = 3000;
        int writeTimeoutMs = 5000;
    };

    explicit ControlHttpServer(const Limits& limits);

    const Limits& limits() const { return m_limits; }
    // After a bind: the queue of connections not yet accepted is the system's longest, not the
    // library's 5, so a burst of clients is not made to retry.
    void widenBacklog();
    // Every connection waiting for its client is shut now (a request still arriving abandoned),
    // every later one at once; those answering get up to `graceMs` to end, then are shut too.
    void closeAll(int graceMs);
    // The connection served on the calling thread; nullptr on any other thread.
    static ControlStream* current();

private:
    bool process_and_close_socket(socket_t sock) override;
    void serve(ControlStream& stream);
    // Shuts the connection (of `address`, when given) that has waited longest for its client;
    // false when none waits.
    bool pushOutLongestWaiting(const std::string* address, const ControlStream* spare);

    const Limits m_limits;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    std::set<ControlStream*> m_streams; // guarded by m_mutex
    std::atomic<bool> m_closing{false};
};

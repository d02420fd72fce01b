#pragma once

#include "control/ControlAddress.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>
#include <thread>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

class ControlHttpServer;
class ControlRouter;
class UnitHost;

// The control API's HTTP server: binds, serves on its own thread (the requests on a pool of
// workers) and stops. A request is refused unless it names this API (Host), comes from no other
// web page (Origin) and, when it changes a unit, carries JSON; with a token it must carry it as
// a bearer token. Made, started and stopped on the units' owner thread; stop() comes before the
// units go.
class ControlServer
{
public:
    // Workers at once: several long polls and event streams leave room for the rest.
    static constexpr int kWorkerThreads = 32;
    // Connections of one client address at once, above every long poll and event stream one
    // client may hold; one more pushes out its longest waiting one (or is refused, 503, when
    // none waits), so one address cannot take every worker.
    static constexpr int kConnectionsPerAddress = 28;
    // A request's line, headers and body must arrive within this, from its first byte.
    static constexpr int kRequestReadMs = 3000;

    explicit ControlServer(UnitHost* host);
    ~ControlServer();

    // Empty: no token asked for.
    void setToken(const QString& token);
    // Binds the address (port 0: a free one); false with `error` naming it and the reason.
    // Serves nothing yet.
    bool bind(const ControlAddress& address, QString* error);
    int port() const { return m_port; }
    QString url() const { return m_address.url(m_port); }
    // Logs "CONTROL URL", then serves.
    void start();
    // Waiting requests are released and answered, every connection closes (one still arriving
    // at once), the server's threads end.
    void stop();

private:
    // Before the body is read: true to go on; false with the refusal (or the whole answer of a
    // request without a body) in `response`.
    bool admit(const httplib::Request& request, httplib::Response& response);
    bool authorized(const std::string& header) const;

    std::unique_ptr<ControlRouter> m_router;
    std::unique_ptr<ControlHttpServer> m_server;
    std::thread m_thread;
    std::atomic<bool> m_listenEnded{false};
    ControlAddress m_address;
    QByteArray m_token; // empty: none asked for
    int m_port = 0;
};

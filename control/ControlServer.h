#pragma once

#include "control/ControlAddress.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <thread>

namespace httplib {
class Server;
}

class ControlRouter;
class UnitHost;

// The control API's HTTP server: binds, serves on its own thread (the requests on a pool of
// workers) and stops. With a token every request must carry it as a bearer token. Made,
// started and stopped on the units' owner thread; stop() comes before the units go.
class ControlServer
{
public:
    // Workers at once: several long polls and event streams leave room for the rest.
    static constexpr int kWorkerThreads = 32;

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
    // Every waiting request is released and answered, the server closes, its threads end.
    void stop();

private:
    bool authorized(const std::string& header) const;

    std::unique_ptr<ControlRouter> m_router;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    ControlAddress m_address;
    QByteArray m_expected; // the whole Authorization value; empty: none asked for
    int m_port = 0;
};

#pragma once

#include "control/ControlEventStream.h"
#include "control/ControlReply.h"
#include "control/ControlTarget.h"
#include "control/ControlUnitHandlers.h"
#include "control/OwnerThreadCall.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

class UnitHost;
class UnitSession;

// The control API's route table: which path and method reach which handler (405 with Allow
// for a known path asked with another method). The handlers are the units' (ControlUnitHandlers)
// and the event stream's (ControlEventStream); requests arrive on the server's worker threads.
// Made on the owner thread.
class ControlRouter : public QObject
{
public:
    static constexpr int kMaxBodyBytes = 1024 * 1024;

    explicit ControlRouter(UnitHost* host, QObject* parent = nullptr);
    ~ControlRouter() override;

    // Every path the table may know, with every method, goes through handle().
    void install(httplib::Server& server);
    // Whether a route takes the request's path and method (HEAD as GET).
    bool knows(const httplib::Request& request) const;
    // Whether the path is a probe's (/healthz, /readyz), answered without a token or a Host
    // check: they tell whether the process is up and its units ready, nothing else.
    static bool isProbe(const httplib::Request& request);
    // The request answered by its route, or as notFound() says.
    void handle(const httplib::Request& request, httplib::Response& response);
    // The answer to a request no handler took: 404 naming what is unknown, or 405 with Allow
    // for a known path asked with another method.
    void notFound(const httplib::Request& request, httplib::Response& response) const;
    // From now on every request is answered 503; waiting ones are released at once.
    void close();
    bool isClosed() const { return m_closed.load(); }

private:
    struct Route
    {
        const char* pattern; // segments, "*" for a number
        const char* method;
        std::function<void(const ControlTarget& target, httplib::Response& response)> handler;
    };

    // The route for the path and method; otherwise nullptr with the path's other methods in `allowed`.
    const Route* match(const QStringList& segments, const std::string& method, QStringList* allowed) const;
    static QStringList segmentsOf(const httplib::Request& request);
    // The unit a /units/{id} path names, or the 404 to answer.
    std::optional<ControlReply> findUnit(const QString& text, int* id, UnitSession** session) const;

    UnitHost* m_host;
    OwnerThreadCall m_owner;
    std::atomic<bool> m_closed{false};
    ControlUnitHandlers m_units;
    ControlEventStream m_stream;
    std::vector<Route> m_routes;
};

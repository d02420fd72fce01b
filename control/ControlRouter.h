#pragma once

#include "control/ControlReply.h"
#include "control/OwnerThreadCall.h"
#include "journal/EventFeed.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>
#include <utility>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

class UnitHost;
class UnitSession;

// The control API's routes: which path and method reach which handler (405 with Allow for a
// known path asked with another method), and the handlers. Requests arrive on the server's
// worker threads; what touches a unit runs on the units' owner thread through
// OwnerThreadCall, what is thread-safe to read (journals, recorded states) runs where it
// arrives, so a long poll or an event stream never occupies the owner thread.
// Made on the owner thread.
class ControlRouter : public QObject
{
public:
    // Long polls and event streams at once; one more is answered 503.
    static constexpr int kMaxWaiting = 16;
    static constexpr int kMaxStreams = 8;
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
    // What a matched route is asked for: the path's pieces and, under /units/{id}, the unit.
    struct Target
    {
        const httplib::Request& request;
        QStringList segments;
        int id = 0;
        UnitSession* session = nullptr;
    };
    using Handler = void (ControlRouter::*)(const Target& target, httplib::Response& response);
    struct Route
    {
        const char* pattern; // segments, "*" for a number
        const char* method;
        Handler handler;
        bool probe = false;
    };
    static const Route kRoutes[];

    // The route for the path and method; otherwise nullptr with the path's other methods in `allowed`.
    static const Route* match(const QStringList& segments, const std::string& method, QStringList* allowed);
    static QStringList segmentsOf(const httplib::Request& request);
    // The unit a /units/{id} path names, or the 404 to answer.
    std::optional<ControlReply> findUnit(const QString& text, int* id, UnitSession** session) const;

    void health(const Target& target, httplib::Response& response);
    void readiness(const Target& target, httplib::Response& response);
    void listUnits(const Target& target, httplib::Response& response);
    void unitState(const Target& target, httplib::Response& response);
    void journal(const Target& target, httplib::Response& response);
    void setRecords(const Target& target, httplib::Response& response);
    void stopUpload(const Target& target, httplib::Response& response);
    void loadScenario(const Target& target, httplib::Response& response);
    void resetUnit(const Target& target, httplib::Response& response);
    void listFaults(const Target& target, httplib::Response& response);
    void addFault(const Target& target, httplib::Response& response);
    void clearFaults(const Target& target, httplib::Response& response);
    void removeFault(const Target& target, httplib::Response& response);
    void metrics(const Target& target, httplib::Response& response);
    void events(const Target& target, httplib::Response& response);
    void verify(const Target& target, httplib::Response& response);
    // The page of the units and its files.
    void page(const Target& target, httplib::Response& response);

    // The body as a JSON object with exactly these keys (no keys: any), or the 400 to answer.
    static std::optional<ControlReply> readObject(const httplib::Request& request, const QStringList& keys,
                                                  QJsonObject* object);
    // The body as text, a UTF-8 byte order mark taken off, or the 400 to answer (not UTF-8).
    static std::optional<ControlReply> readText(const httplib::Request& request, QByteArray* body);
    // The 400 to answer when an object of the body's JSON gives a key twice.
    static std::optional<ControlReply> checkKeys(const QByteArray& body);
    static void send(httplib::Response& response, const ControlReply& reply);
    // The work on the owner thread, logging as the unit's own.
    ControlReply forUnit(UnitSession* session, std::function<ControlReply()> work);
    // Owner thread: one entry of GET /units.
    QJsonObject unitJson(int id) const;

    UnitHost* m_host;
    OwnerThreadCall m_owner;
    std::atomic<bool> m_closed{false};
    std::atomic<int> m_waiting{0};
    std::atomic<int> m_streams{0};
    // Every unit's events for the event streams.
    EventFeed m_feed;
    // Owner thread: each unit's running upload as records sent and announced.
};

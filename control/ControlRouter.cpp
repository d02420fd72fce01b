#include "control/ControlRouter.h"

#include "control/ControlPage.h"
#include "emulator/UnitHost.h"
#include "emulator/UnitSession.h"
#include "journal/Journal.h"
#include "util/MessageQuote.h"

#include <cstring>

#include <httplib.h>

namespace {

QString text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

// Probes answer without a token or a Host check.
const char* const kProbePaths[] = {"healthz", "readyz"};

} // namespace

ControlRouter::ControlRouter(UnitHost* host, QObject* parent)
    : QObject(parent), m_host(host), m_units(host, &m_owner, &m_closed), m_stream(host)
{
    using Units = ControlUnitHandlers;
    const auto unit = [this](void (Units::*handler)(const ControlTarget&, httplib::Response&)) {
        return [this, handler](const ControlTarget& target, httplib::Response& response) {
            (m_units.*handler)(target, response);
        };
    };
    const auto page = [this](const ControlTarget& target, httplib::Response& response) {
        if (!ControlPage::serve(target.segments.join(QLatin1Char('/')), response))
            notFound(target.request, response);
    };
    m_routes = {
        {"units", "GET", unit(&Units::listUnits)},
        {"units/*/state", "GET", unit(&Units::unitState)},
        {"units/*/journal", "GET", unit(&Units::journal)},
        {"units/*/records", "PUT", unit(&Units::setRecords)},
        {"units/*/stop", "POST", unit(&Units::stopUpload)},
        {"units/*/scenario", "POST", unit(&Units::loadScenario)},
        {"units/*/reset", "POST", unit(&Units::resetUnit)},
        {"units/*/faults", "GET", unit(&Units::listFaults)},
        {"units/*/faults", "POST", unit(&Units::addFault)},
        {"units/*/faults", "DELETE", unit(&Units::clearFaults)},
        {"units/*/faults/*", "DELETE", unit(&Units::removeFault)},
        {"units/*/verify", "POST", unit(&Units::verify)},
        {"metrics", "GET", unit(&Units::metrics)},
        {"events", "GET",
         [this](const ControlTarget&, httplib::Response& response) { m_stream.serve(response); }},
        {"", "GET", page},
        {"ui/*", "GET", page},
        {kProbePaths[0], "GET", unit(&Units::health)},
        {kProbePaths[1], "GET", unit(&Units::readiness)},
    };
}

ControlRouter::~ControlRouter()
{
    close();
}

void ControlRouter::install(httplib::Server& server)
{
    // Only paths the table may know reach a handler, and the pattern is short and bounded, so
    // matching never walks a long path; everything else is answered by notFound().
    const std::string known =
        R"(/(units(/\d{1,9}(/[a-z]{1,10}(/\d{1,9})?)?)?|metrics|events|healthz|readyz|ui/[a-z0-9.-]{1,40})?)";
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    };
    server.Get(known, handler);
    server.Post(known, handler);
    server.Put(known, handler);
    server.Patch(known, handler);
    server.Delete(known, handler);
    server.Options(known, handler);
}

void ControlRouter::close()
{
    m_closed = true;
    m_owner.close();
    m_stream.close();
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        m_host->session(id)->journal()->wakeWaiters();
}

QStringList ControlRouter::segmentsOf(const httplib::Request& request)
{
    QStringList segments = text(request.path).split(QLatin1Char('/'));
    if (!segments.isEmpty() && segments.first().isEmpty())
        segments.removeFirst();
    return segments;
}

const ControlRouter::Route* ControlRouter::match(const QStringList& segments, const std::string& method,
                                                 QStringList* allowed) const
{
    for (const Route& route : m_routes) {
        const QStringList pattern = QString::fromLatin1(route.pattern).split(QLatin1Char('/'));
        if (pattern.size() != segments.size())
            continue;
        bool same = true;
        for (int i = 0; i < pattern.size() && same; ++i)
            same = pattern.at(i) == QLatin1String("*") || pattern.at(i) == segments.at(i);
        if (!same)
            continue;
        // HEAD is GET without the body, which the library leaves out.
        if (method == route.method || (method == "HEAD" && std::strcmp(route.method, "GET") == 0))
            return &route;
        if (allowed)
            *allowed << QString::fromLatin1(route.method);
    }
    return nullptr;
}

std::optional<ControlReply> ControlRouter::findUnit(const QString& text, int* id, UnitSession** session) const
{
    // Units are added before the server starts and never go while it runs.
    const int count = m_host->unitCount();
    bool valid = text.size() <= 9 && !text.isEmpty();
    for (const QChar c : text)
        valid = valid && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int number = valid ? text.toInt() : 0;
    if (!m_host->session(number))
        return ControlReply::error(
            404, QStringLiteral("no unit %1: there %2 (numbered from %3)")
                     .arg(MessageQuote::of(text), count == 1 ? QStringLiteral("is 1 unit")
                                                             : QStringLiteral("are %1 units").arg(count))
                     .arg(m_host->firstUnit()));
    *id = number;
    *session = m_host->session(number);
    return std::nullopt;
}

bool ControlRouter::knows(const httplib::Request& request) const
{
    return match(segmentsOf(request), request.method, nullptr) != nullptr;
}

bool ControlRouter::isProbe(const httplib::Request& request)
{
    const QString path = segmentsOf(request).join(QLatin1Char('/'));
    for (const char* probe : kProbePaths)
        if (path == QLatin1String(probe))
            return true;
    return false;
}

void ControlRouter::handle(const httplib::Request& request, httplib::Response& response)
{
    if (m_closed) {
        ControlReply::send(response,
                           ControlReply::error(503, QStringLiteral("the emulator is shutting down")));
        return;
    }
    const QStringList segments = segmentsOf(request);
    const Route* route = match(segments, request.method, nullptr);
    if (!route) {
        notFound(request, response);
        return;
    }
    ControlTarget target{request, segments, 0, nullptr};
    if (segments.size() >= 2 && segments.first() == QLatin1String("units")) {
        if (const auto refusal = findUnit(segments.at(1), &target.id, &target.session)) {
            ControlReply::send(response, *refusal);
            return;
        }
    }
    route->handler(target, response);
}

void ControlRouter::notFound(const httplib::Request& request, httplib::Response& response) const
{
    const QStringList segments = segmentsOf(request);
    QStringList allowed;
    match(segments, request.method, &allowed);
    if (!allowed.isEmpty()) {
        allowed.removeDuplicates();
        response.set_header("Allow", allowed.join(QStringLiteral(", ")).toStdString());
        ControlReply::send(
            response,
            ControlReply::error(405, QStringLiteral("%1 %2: the method is not allowed (allowed: %3)")
                                         .arg(text(request.method), MessageQuote::of(text(request.path)),
                                              allowed.join(QStringLiteral(", ")))));
        return;
    }
    // A path of the table with a unit that does not exist says so.
    QStringList wildcard = segments;
    if (wildcard.size() >= 2 && wildcard.first() == QLatin1String("units")) {
        wildcard[1] = QStringLiteral("1");
        QStringList methods;
        if (match(wildcard, request.method, &methods) || !methods.isEmpty()) {
            int id = 0;
            UnitSession* session = nullptr;
            if (const auto refusal = findUnit(segments.at(1), &id, &session)) {
                ControlReply::send(response, *refusal);
                return;
            }
        }
    }
    ControlReply::send(response, ControlReply::error(404, QStringLiteral("no route %1 %2")
                                                              .arg(MessageQuote::of(text(request.method)),
                                                                   MessageQuote::of(text(request.path)))));
}

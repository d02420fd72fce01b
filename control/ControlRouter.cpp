#include "control/ControlRouter.h"

#include "control/BoundedSlot.h"
#include "control/ControlPage.h"
#include "control/JournalQuery.h"
#include "emulator/ScenarioReadJob.h"
#include "emulator/UnitHost.h"
#include "emulator/UnitSession.h"
#include "journal/Journal.h"
#include "journal/JournalVerifier.h"
#include "journal/UnitMetrics.h"
#include "log/Log.h"
#include "log/LogContext.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "unit/EmulatedUnit.h"
#include "util/JsonDuplicateKey.h"
#include "util/MessageQuote.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>
#include <cstring>
#include <memory>

#include <httplib.h>

namespace {

// How long a stream's worker waits for events at a time, how many it writes at once, and how
// long a stream stays silent before a comment tests whether its reader is still there.
constexpr int kStreamPollMs = 250;
constexpr std::size_t kStreamBatch = 200;
constexpr int kKeepAliveMs = 5000;

// What the scenario route calls its body in messages; records.csv paths in it are taken from
// the emulator's working folder.
const QString kScenarioBodyName = QStringLiteral("scenario body");

QString text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}

QJsonObject ruleJson(const FaultInjector::RuleStatus& rule)
{
    return QJsonObject{{QStringLiteral("id"), rule.id},
                       {QStringLiteral("rule"), rule.text},
                       {QStringLiteral("fired"), qint64(rule.fired)},
                       {QStringLiteral("state"), rule.state}};
}

} // namespace

const ControlRouter::Route ControlRouter::kRoutes[] = {
    {"units", "GET", &ControlRouter::listUnits},
    {"units/*/state", "GET", &ControlRouter::unitState},
    {"units/*/journal", "GET", &ControlRouter::journal},
    {"units/*/records", "PUT", &ControlRouter::setRecords},
    {"units/*/stop", "POST", &ControlRouter::stopUpload},
    {"units/*/scenario", "POST", &ControlRouter::loadScenario},
    {"units/*/reset", "POST", &ControlRouter::resetUnit},
    {"units/*/faults", "GET", &ControlRouter::listFaults},
    {"units/*/faults", "POST", &ControlRouter::addFault},
    {"units/*/faults", "DELETE", &ControlRouter::clearFaults},
    {"units/*/faults/*", "DELETE", &ControlRouter::removeFault},
    {"units/*/verify", "POST", &ControlRouter::verify},
    {"metrics", "GET", &ControlRouter::metrics},
    {"events", "GET", &ControlRouter::events},
    {"", "GET", &ControlRouter::page},
    {"ui/*", "GET", &ControlRouter::page},
    {"healthz", "GET", &ControlRouter::health, true},
    {"readyz", "GET", &ControlRouter::readiness, true},
};

ControlRouter::ControlRouter(UnitHost* host, QObject* parent) : QObject(parent), m_host(host)
{
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        m_feed.follow(m_host->session(id)->journal());
}

ControlRouter::~ControlRouter()
{
    close();
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        m_feed.unfollow(m_host->session(id)->journal());
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
    m_feed.close();
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
                                                 QStringList* allowed)
{
    for (const Route& route : kRoutes) {
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
    for (const Route& route : kRoutes)
        if (route.probe && path == QLatin1String(route.pattern))
            return true;
    return false;
}

void ControlRouter::handle(const httplib::Request& request, httplib::Response& response)
{
    if (m_closed) {
        send(response, ControlReply::error(503, QStringLiteral("the emulator is shutting down")));
        return;
    }
    const QStringList segments = segmentsOf(request);
    const Route* route = match(segments, request.method, nullptr);
    if (!route) {
        notFound(request, response);
        return;
    }
    Target target{request, segments, 0, nullptr};
    if (segments.size() >= 2 && segments.first() == QLatin1String("units")) {
        if (const auto refusal = findUnit(segments.at(1), &target.id, &target.session)) {
            send(response, *refusal);
            return;
        }
    }
    (this->*(route->handler))(target, response);
}

void ControlRouter::notFound(const httplib::Request& request, httplib::Response& response) const
{
    const QStringList segments = segmentsOf(request);
    QStringList allowed;
    match(segments, request.method, &allowed);
    if (!allowed.isEmpty()) {
        allowed.removeDuplicates();
        response.set_header("Allow", allowed.join(QStringLiteral(", ")).toStdString());
        send(response,
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
                send(response, *refusal);
                return;
            }
        }
    }
    send(response, ControlReply::error(404, QStringLiteral("no route %1 %2")
                                                .arg(MessageQuote::of(text(request.method)),
                                                     MessageQuote::of(text(request.path)))));
}

void ControlRouter::send(httplib::Response& response, const ControlReply& reply)
{
    response.status = reply.status;
    if (reply.status == 204)
        return;
    const QByteArray body = reply.bytes();
    response.set_content(body.constData(), std::size_t(body.size()), "application/json");
}

std::optional<ControlReply> ControlRouter::readText(const httplib::Request& request, QByteArray* body)
{
    *body = QByteArray::fromStdString(request.body);
    // What some editors and tools put first; it says nothing more than UTF-8.
    if (body->startsWith("\xEF\xBB\xBF"))
        body->remove(0, 3);
    // Qt's parser would take some malformed sequences; the round trip takes none.
    if (QString::fromUtf8(*body).toUtf8() != *body)
        return ControlReply::error(400, QStringLiteral("the body is not UTF-8 text"));
    return std::nullopt;
}

std::optional<ControlReply> ControlRouter::checkKeys(const QByteArray& body)
{
    // Qt keeps the last of two equal keys; a JSON error is the reader's to tell.
    QJsonParseError problem{};
    QJsonDocument::fromJson(body, &problem);
    if (problem.error != QJsonParseError::NoError)
        return std::nullopt;
    const QString twice = JsonDuplicateKey::find(body);
    if (twice.isEmpty())
        return std::nullopt;
    return ControlReply::error(400, QStringLiteral("the key %1 is given twice").arg(MessageQuote::of(twice)));
}

std::optional<ControlReply> ControlRouter::readObject(const httplib::Request& request,
                                                      const QStringList& keys, QJsonObject* object)
{
    QByteArray body;
    if (const auto refusal = readText(request, &body))
        return refusal;
    QJsonParseError problem{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &problem);
    if (problem.error != QJsonParseError::NoError)
        return ControlReply::error(400, QStringLiteral("the body is not JSON: %1 at byte %2")
                                            .arg(problem.errorString())
                                            .arg(problem.offset));
    if (!document.isObject())
        return ControlReply::error(400, QStringLiteral("the body is not a JSON object"));
    if (const auto refusal = checkKeys(body))
        return refusal;
    *object = document.object();
    for (auto it = object->constBegin(); it != object->constEnd() && !keys.isEmpty(); ++it)
        if (!keys.contains(it.key()))
            return ControlReply::error(400,
                                       QStringLiteral("unknown key %1 (expected: %2)")
                                           .arg(MessageQuote::of(it.key()), keys.join(QStringLiteral(", "))));
    for (const QString& key : keys)
        if (!object->contains(key))
            return ControlReply::error(400, QStringLiteral("missing key \"%1\"").arg(key));
    return std::nullopt;
}

ControlReply ControlRouter::forUnit(UnitSession* session, std::function<ControlReply()> work)
{
    // What the work logs names its unit, as a typed command's lines do.
    return m_owner.run([session, work = std::move(work)] {
        const LogContext::Scope unit(session->logPrefix());
        return work();
    });
}

QJsonObject ControlRouter::unitJson(int id) const
{
    UnitSession* session = m_host->session(id);
    const UnitSession::Status status = session->status();
    const QString& line = status.line;
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("endpoint"), status.endpoint},
        {QStringLiteral("connected"), line == QLatin1String("open") || line == QLatin1String("connected")},
        {QStringLiteral("line"), line},
        {QStringLiteral("records"), session->unit()->recordCount()},
        {QStringLiteral("upload"), status.total < 0 ? QJsonValue()
                                                    : QJsonValue(QJsonObject{{QStringLiteral("sent"), status.sent},
                                                                             {QStringLiteral("total"), status.total}})}};
}

void ControlRouter::health(const Target&, httplib::Response& response)
{
    // Answered here, not on the units' thread: the process answers.
    send(response, ControlReply::json(200, QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")}}));
}

void ControlRouter::readiness(const Target&, httplib::Response& response)
{
    // A units' thread that does not answer within the bound is not ready either (503).
    send(response, m_owner.run([this] {
        QJsonArray waiting;
        for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id) {
            const QString line = unitJson(id).value(QStringLiteral("line")).toString();
            const bool reading = m_host->session(id)->isReadingScenario();
            if (line != QLatin1String("closed") && !reading)
                continue;
            QJsonObject unit{{QStringLiteral("id"), id}, {QStringLiteral("line"), line}};
            if (reading)
                unit.insert(QStringLiteral("scenario"), QStringLiteral("reading"));
            waiting.append(unit);
        }
        if (waiting.isEmpty())
            return ControlReply::json(200, QJsonObject{{QStringLiteral("ready"), true}});
        return ControlReply::json(
            503, QJsonObject{{QStringLiteral("ready"), false}, {QStringLiteral("units"), waiting}});
    }));
}

void ControlRouter::listUnits(const Target&, httplib::Response& response)
{
    send(response, m_owner.run([this] {
        QJsonArray units;
        for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
            units.append(unitJson(id));
        return ControlReply::json(200, units);
    }));
}

void ControlRouter::unitState(const Target& target, httplib::Response& response)
{
    // The recorder takes its own lock.
    send(response, ControlReply::json(200, target.session->recordedState()->toJson()));
}

void ControlRouter::journal(const Target& target, httplib::Response& response)
{
    JournalQuery query;
    QString problem;
    if (!JournalQuery::parse(target.request.params, &query, &problem)) {
        send(response, ControlReply::error(400, problem));
        return;
    }
    Journal* journal = target.session->journal();
    std::vector<JournalEvent> events;
    if (query.waitMs > 0) {
        const BoundedSlot slot(m_waiting, kMaxWaiting);
        if (!slot.taken()) {
            send(response,
                 ControlReply::error(
                     503, QStringLiteral("%1 requests are waiting already; try again").arg(kMaxWaiting)));
            return;
        }
        // On this worker: the unit's thread goes on answering its line meanwhile.
        events = journal->waitSince(query.after, query.pageLimit(), query.filter(), query.waitMs);
    } else {
        events = journal->since(query.after, query.pageLimit(), query.filter());
    }
    QJsonArray list;
    for (const JournalEvent& event : events)
        list.append(event.toJson());
    const std::uint64_t next = events.empty() ? query.after : events.back().seq;
    send(response, ControlReply::json(200, QJsonObject{{QStringLiteral("events"), list},
                                                       {QStringLiteral("next"), qint64(next)}}));
}

void ControlRouter::setRecords(const Target& target, httplib::Response& response)
{
    QJsonObject object;
    if (const auto refusal = readObject(target.request, {QStringLiteral("count")}, &object)) {
        send(response, *refusal);
        return;
    }
    // The record-count field's rule: 1 to 8 decimal digits.
    const QJsonValue value = object.value(QStringLiteral("count"));
    const double count = value.toDouble(-1);
    if (!value.isDouble() || !std::isfinite(count) || count != std::floor(count) || count < 0 ||
        count > ScenarioFile::kMaxRecordCount) {
        send(response,
             ControlReply::error(400, QStringLiteral("count: expected a whole number from 0 to %1, got %2")
                                          .arg(ScenarioFile::kMaxRecordCount)
                                          .arg(value.isDouble() ? ScenarioFile::numberText(count)
                                                                : ScenarioFile::typeName(value))));
        return;
    }
    UnitSession* session = target.session;
    send(response, forUnit(session, [session, count] {
             session->unit()->setRecordCount(int(count));
             return ControlReply::json(200, QJsonObject{{QStringLiteral("count"), int(count)}});
         }));
}

void ControlRouter::stopUpload(const Target& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    send(response, forUnit(session, [session] {
             const bool uploading = session->unit()->isUploading();
             session->unit()->stopUpload();
             return ControlReply::json(200, QJsonObject{{QStringLiteral("uploading"), uploading}});
         }));
}

void ControlRouter::loadScenario(const Target& target, httplib::Response& response)
{
    QByteArray body;
    std::optional<ControlReply> refusal = readText(target.request, &body);
    if (!refusal)
        refusal = checkKeys(body);
    if (refusal) {
        send(response, *refusal);
        return;
    }
    // Read off the units' thread (a large records.csv takes seconds), which only takes the
    // result over.
    auto scenario = std::make_shared<Scenario>();
    QString error;
    target.session->beginScenarioRead();
    if (!ScenarioReadJob::parse(body, kScenarioBodyName, scenario.get(), &error, &m_closed)) {
        target.session->endScenarioRead();
        send(response, ControlReply::error(400, error));
        return;
    }
    UnitHost* host = m_host;
    const int id = target.id;
    const ControlReply reply = forUnit(target.session, [host, id, scenario] {
        QString error;
        if (!host->applyScenario(id, *scenario, &error))
            return ControlReply::error(400, error);
        return ControlReply::empty();
    });
    target.session->endScenarioRead();
    send(response, reply);
}

void ControlRouter::resetUnit(const Target& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    send(response, forUnit(session, [session] {
             session->reset();
             return ControlReply::empty();
         }));
}

void ControlRouter::metrics(const Target&, httplib::Response& response)
{
    // Each unit's counts take their own lock.
    std::vector<std::pair<int, const UnitMetrics*>> units;
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        units.emplace_back(id, m_host->session(id)->metrics());
    const QByteArray text = UnitMetrics::exposition(units);
    response.status = 200;
    response.set_content(text.constData(), std::size_t(text.size()), UnitMetrics::contentType());
}

void ControlRouter::events(const Target&, httplib::Response& response)
{
    // Counted from here until the stream ends, whichever way it ends.
    if (m_streams.fetch_add(1) >= kMaxStreams) {
        m_streams.fetch_sub(1);
        send(response,
             ControlReply::error(
                 503, QStringLiteral("%1 event streams are open already; try again").arg(kMaxStreams)));
        return;
    }
    const std::shared_ptr<EventSubscription> subscription = m_feed.subscribe();
    response.set_header("Cache-Control", "no-cache");
    auto quiet = std::make_shared<int>(0);
    response.set_chunked_content_provider(
        "text/event-stream",
        [subscription, quiet](std::size_t, httplib::DataSink& sink) {
            // A short wait, so a reader gone is noticed by the keep-alive comment below.
            const EventSubscription::Batch batch = subscription->next(kStreamPollMs, kStreamBatch);
            std::string out;
            for (const QByteArray& line : batch.lines) {
                out += "data: ";
                out.append(line.constData(), std::size_t(line.size()) - 1); // without its newline
                out += "\n\n";
            }
            if (batch.lost > 0)
                out += "event: lost\ndata: {\"lost\":" + std::to_string(batch.lost) + "}\n\n";
            if (out.empty() && ++*quiet * kStreamPollMs >= kKeepAliveMs)
                out = ": keep-alive\n\n";
            if (!out.empty()) {
                *quiet = 0;
                if (!sink.write(out.data(), out.size()))
                    return false;
            }
            if (batch.closed)
                sink.done();
            return true;
        },
        [this, subscription](bool) {
            m_feed.unsubscribe(subscription);
            m_streams.fetch_sub(1);
        });
}

void ControlRouter::listFaults(const Target& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    send(response, forUnit(session, [session] {
             QJsonArray rules;
             for (const FaultInjector::RuleStatus& rule : session->faults()->rules())
                 rules.append(ruleJson(rule));
             return ControlReply::json(200, rules);
         }));
}

void ControlRouter::addFault(const Target& target, httplib::Response& response)
{
    QJsonObject object;
    if (const auto refusal = readObject(target.request, {QStringLiteral("rule")}, &object)) {
        send(response, *refusal);
        return;
    }
    const QJsonValue value = object.value(QStringLiteral("rule"));
    if (!value.isString()) {
        send(response,
             ControlReply::error(
                 400, QStringLiteral("rule: expected a text, got %1").arg(ScenarioFile::typeName(value))));
        return;
    }
    UnitSession* session = target.session;
    const QString rule = value.toString();
    send(response, forUnit(session, [session, rule] {
             QString problem;
             int id = 0;
             // The same refusal as typed on standard input.
             if (!session->faults()->addRule(rule, &problem, &id))
                 return ControlReply::error(400, problem);
             for (const FaultInjector::RuleStatus& status : session->faults()->rules())
                 if (status.id == id)
                     return ControlReply::json(201, ruleJson(status));
             // A rule that ended at once is gone already.
             return ControlReply::json(201, ruleJson({id, rule, 0, QStringLiteral("ended")}));
         }));
}

void ControlRouter::clearFaults(const Target& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    send(response, forUnit(session, [session] {
             session->faults()->clear();
             return ControlReply::empty();
         }));
}

void ControlRouter::removeFault(const Target& target, httplib::Response& response)
{
    const QString text = target.segments.at(3);
    bool valid = !text.isEmpty() && text.size() <= 9;
    for (const QChar c : text)
        valid = valid && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int id = valid ? text.toInt() : 0;
    UnitSession* session = target.session;
    const int unit = target.id;
    send(response, forUnit(session, [session, id, unit, text] {
             if (id < 1 || !session->faults()->removeRule(id))
                 return ControlReply::error(
                     404,
                     QStringLiteral("no fault rule %1 on unit %2").arg(MessageQuote::of(text)).arg(unit));
             return ControlReply::empty();
         }));
}

void ControlRouter::verify(const Target& target, httplib::Response& response)
{
    QJsonObject body;
    if (const auto refusal = readObject(target.request, QStringList(), &body)) {
        send(response, *refusal);
        return;
    }
    // The journal takes its own lock: checked here, the unit's thread goes on meanwhile.
    QString problem;
    const std::optional<QJsonObject> answer =
        JournalVerifier::verify(*target.session->journal(), body, &problem);
    send(response, answer ? ControlReply::json(200, *answer) : ControlReply::error(400, problem));
}

void ControlRouter::page(const Target& target, httplib::Response& response)
{
    if (!ControlPage::serve(target.segments.join(QLatin1Char('/')), response))
        notFound(target.request, response);
}

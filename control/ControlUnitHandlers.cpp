#include "control/ControlUnitHandlers.h"

#include "control/BoundedSlot.h"
#include "control/ControlRequestBody.h"
#include "control/JournalQuery.h"
#include "control/OwnerThreadCall.h"
#include "emulator/ScenarioReadJob.h"
#include "emulator/UnitHost.h"
#include "emulator/UnitSession.h"
#include "journal/Journal.h"
#include "journal/JournalVerifier.h"
#include "journal/UnitMetrics.h"
#include "log/LogContext.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "unit/EmulatedUnit.h"
#include "util/MessageQuote.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cmath>
#include <memory>

#include <httplib.h>

namespace {

// What the scenario route calls its body in messages; records.csv paths in it are taken from
// the emulator's working folder.
const QString kScenarioBodyName = QStringLiteral("scenario body");

QJsonObject ruleJson(const FaultRules::RuleStatus& rule)
{
    return QJsonObject{{QStringLiteral("id"), rule.id},
                       {QStringLiteral("rule"), rule.text},
                       {QStringLiteral("fired"), qint64(rule.fired)},
                       {QStringLiteral("state"), rule.state}};
}

} // namespace

ControlUnitHandlers::ControlUnitHandlers(UnitHost* host, OwnerThreadCall* owner,
                                         const std::atomic<bool>* closed)
    : m_host(host), m_owner(*owner), m_closed(closed)
{
}

ControlReply ControlUnitHandlers::forUnit(UnitSession* session, std::function<ControlReply()> work)
{
    // What the work logs names its unit, as a typed command's lines do.
    return m_owner.run([session, work = std::move(work)] {
        const LogContext::Scope unit(session->logPrefix());
        return work();
    });
}

QJsonObject ControlUnitHandlers::unitJson(int id) const
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
        {QStringLiteral("upload"), status.total < 0
                                       ? QJsonValue()
                                       : QJsonValue(QJsonObject{{QStringLiteral("sent"), status.sent},
                                                                {QStringLiteral("total"), status.total}})}};
}

void ControlUnitHandlers::health(const ControlTarget&, httplib::Response& response)
{
    // Answered here, not on the units' thread: the process answers.
    ControlReply::send(
        response, ControlReply::json(200, QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")}}));
}

void ControlUnitHandlers::readiness(const ControlTarget&, httplib::Response& response)
{
    // A units' thread that does not answer within the bound is not ready either (503).
    ControlReply::send(response, m_owner.run([this] {
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

void ControlUnitHandlers::listUnits(const ControlTarget&, httplib::Response& response)
{
    ControlReply::send(response, m_owner.run([this] {
        QJsonArray units;
        for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
            units.append(unitJson(id));
        return ControlReply::json(200, units);
    }));
}

void ControlUnitHandlers::unitState(const ControlTarget& target, httplib::Response& response)
{
    // The recorder takes its own lock.
    ControlReply::send(response, ControlReply::json(200, target.session->recordedState()->toJson()));
}

void ControlUnitHandlers::journal(const ControlTarget& target, httplib::Response& response)
{
    JournalQuery query;
    QString problem;
    if (!JournalQuery::parse(target.request.params, &query, &problem)) {
        ControlReply::send(response, ControlReply::error(400, problem));
        return;
    }
    Journal* journal = target.session->journal();
    std::vector<JournalEvent> events;
    if (query.waitMs > 0) {
        const BoundedSlot slot(m_waiting, kMaxWaiting);
        if (!slot.taken()) {
            ControlReply::send(
                response,
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
    ControlReply::send(response,
                       ControlReply::json(200, QJsonObject{{QStringLiteral("events"), list},
                                                           {QStringLiteral("next"), qint64(next)}}));
}

void ControlUnitHandlers::setRecords(const ControlTarget& target, httplib::Response& response)
{
    QJsonObject object;
    if (const auto refusal =
            ControlRequestBody::readObject(target.request, {QStringLiteral("count")}, &object)) {
        ControlReply::send(response, *refusal);
        return;
    }
    // The record-count field's rule: 1 to 8 decimal digits.
    const QJsonValue value = object.value(QStringLiteral("count"));
    const double count = value.toDouble(-1);
    if (!value.isDouble() || !std::isfinite(count) || count != std::floor(count) || count < 0 ||
        count > ScenarioFile::kMaxRecordCount) {
        ControlReply::send(
            response,
            ControlReply::error(400, QStringLiteral("count: expected a whole number from 0 to %1, got %2")
                                         .arg(ScenarioFile::kMaxRecordCount)
                                         .arg(value.isDouble() ? ScenarioFile::numberText(count)
                                                               : ScenarioFile::typeName(value))));
        return;
    }
    UnitSession* session = target.session;
    ControlReply::send(response, forUnit(session, [session, count] {
                           session->unit()->setRecordCount(int(count));
                           return ControlReply::json(200, QJsonObject{{QStringLiteral("count"), int(count)}});
                       }));
}

void ControlUnitHandlers::stopUpload(const ControlTarget& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    ControlReply::send(
        response, forUnit(session, [session] {
            const bool uploading = session->unit()->isUploading();
            session->unit()->stopUpload();
            return ControlReply::json(200, QJsonObject{{QStringLiteral("uploading"), uploading}});
        }));
}

void ControlUnitHandlers::loadScenario(const ControlTarget& target, httplib::Response& response)
{
    QByteArray body;
    std::optional<ControlReply> refusal = ControlRequestBody::readText(target.request, &body);
    if (!refusal)
        refusal = ControlRequestBody::checkKeys(body);
    if (refusal) {
        ControlReply::send(response, *refusal);
        return;
    }
    // Read off the units' thread (a large records.csv takes seconds), which only takes the
    // result over.
    auto scenario = std::make_shared<Scenario>();
    QString error;
    target.session->beginScenarioRead();
    if (!ScenarioReadJob::parse(body, kScenarioBodyName, scenario.get(), &error, m_closed)) {
        target.session->endScenarioRead();
        ControlReply::send(response, ControlReply::error(400, error));
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
    ControlReply::send(response, reply);
}

void ControlUnitHandlers::resetUnit(const ControlTarget& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    ControlReply::send(response, forUnit(session, [session] {
                           session->reset();
                           return ControlReply::empty();
                       }));
}

void ControlUnitHandlers::metrics(const ControlTarget&, httplib::Response& response)
{
    // Each unit's counts take their own lock.
    std::vector<std::pair<int, const UnitMetrics*>> units;
    for (int id = m_host->firstUnit(); id <= m_host->lastUnit(); ++id)
        units.emplace_back(id, m_host->session(id)->metrics());
    const QByteArray text = UnitMetrics::exposition(units);
    response.status = 200;
    response.set_content(text.constData(), std::size_t(text.size()), UnitMetrics::contentType());
}

void ControlUnitHandlers::listFaults(const ControlTarget& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    ControlReply::send(response, forUnit(session, [session] {
                           QJsonArray rules;
                           for (const FaultRules::RuleStatus& rule : session->faults()->rules())
                               rules.append(ruleJson(rule));
                           return ControlReply::json(200, rules);
                       }));
}

void ControlUnitHandlers::addFault(const ControlTarget& target, httplib::Response& response)
{
    QJsonObject object;
    if (const auto refusal =
            ControlRequestBody::readObject(target.request, {QStringLiteral("rule")}, &object)) {
        ControlReply::send(response, *refusal);
        return;
    }
    const QJsonValue value = object.value(QStringLiteral("rule"));
    if (!value.isString()) {
        ControlReply::send(
            response,
            ControlReply::error(
                400, QStringLiteral("rule: expected a text, got %1").arg(ScenarioFile::typeName(value))));
        return;
    }
    UnitSession* session = target.session;
    const QString rule = value.toString();
    ControlReply::send(response, forUnit(session, [session, rule] {
                           QString problem;
                           int id = 0;
                           // The same refusal as typed on standard input.
                           if (!session->faults()->addRule(rule, &problem, &id))
                               return ControlReply::error(400, problem);
                           for (const FaultRules::RuleStatus& status : session->faults()->rules())
                               if (status.id == id)
                                   return ControlReply::json(201, ruleJson(status));
                           // A rule that ended at once is gone already.
                           return ControlReply::json(201, ruleJson({id, rule, 0, QStringLiteral("ended")}));
                       }));
}

void ControlUnitHandlers::clearFaults(const ControlTarget& target, httplib::Response& response)
{
    UnitSession* session = target.session;
    ControlReply::send(response, forUnit(session, [session] {
                           session->faults()->clear();
                           return ControlReply::empty();
                       }));
}

void ControlUnitHandlers::removeFault(const ControlTarget& target, httplib::Response& response)
{
    const QString text = target.segments.at(3);
    bool valid = !text.isEmpty() && text.size() <= 9;
    for (const QChar c : text)
        valid = valid && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int id = valid ? text.toInt() : 0;
    UnitSession* session = target.session;
    const int unit = target.id;
    ControlReply::send(
        response, forUnit(session, [session, id, unit, text] {
            if (id < 1 || !session->faults()->removeRule(id))
                return ControlReply::error(
                    404, QStringLiteral("no fault rule %1 on unit %2").arg(MessageQuote::of(text)).arg(unit));
            return ControlReply::empty();
        }));
}

void ControlUnitHandlers::verify(const ControlTarget& target, httplib::Response& response)
{
    QJsonObject body;
    if (const auto refusal = ControlRequestBody::readObject(target.request, QStringList(), &body)) {
        ControlReply::send(response, *refusal);
        return;
    }
    // The journal takes its own lock: checked here, the unit's thread goes on meanwhile.
    QString problem;
    const std::optional<QJsonObject> answer =
        JournalVerifier::verify(*target.session->journal(), body, &problem);
    ControlReply::send(response,
                       answer ? ControlReply::json(200, *answer) : ControlReply::error(400, problem));
}

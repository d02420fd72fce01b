#include "emulator/UnitHost.h"

#include "emulator/LineReopener.h"
#include "emulator/ScenarioLoader.h"
#include "log/LogContext.h"
#include "scenario/Scenario.h"

UnitHost::UnitHost(QObject* parent) : QObject(parent) {}

// Sessions close before their reopeners and the observer they were shown go.
UnitHost::~UnitHost()
{
    for (Unit& unit : m_units) {
        unit.reopener.reset();
        unit.session.reset();
    }
}

UnitSession* UnitHost::addUnit(EmulatedUnit* unit)
{
    m_units.push_back(Unit{std::make_unique<UnitSession>(unit), nullptr});
    UnitSession* session = m_units.back().session.get();
    session->setUnitNumber(lastUnit());
    session->journal()->setCapacity(m_journalCapacity);
    return session;
}

UnitSession* UnitHost::session(int id) const
{
    return id >= m_firstUnit && id <= lastUnit() ? m_units[std::size_t(id - m_firstUnit)].session.get()
                                                 : nullptr;
}

void UnitHost::setLineObserver(LineObserver* observer)
{
    for (Unit& unit : m_units)
        unit.session->setLineObserver(observer);
}

bool UnitHost::open(int id, const UnitSession::Settings& settings)
{
    UnitSession* session = this->session(id);
    if (!session || !session->open(settings))
        return false;
    if (m_reopenMs > 0) {
        Unit& entry = m_units[std::size_t(id - m_firstUnit)];
        entry.reopener = std::make_unique<LineReopener>(session, m_reopenMs);
        entry.reopener->watch();
    }
    return true;
}

UnitSession* UnitHost::unitOrError(int id, QString* error) const
{
    UnitSession* session = this->session(id);
    if (!session && error)
        *error = QStringLiteral("no unit %1").arg(id);
    return session;
}

bool UnitHost::applyScenario(int id, const Scenario& scenario, QString* error)
{
    UnitSession* session = unitOrError(id, error);
    if (!session)
        return false;
    const LogContext::Scope unitScope(session->logPrefix());
    if (!ScenarioLoader::take(*session->unit(), session->faults(), scenario, error))
        return false;
    session->noteScenarioLoaded(scenario.path);
    return true;
}

void UnitHost::setJournalCapacity(std::size_t capacity)
{
    m_journalCapacity = capacity;
    for (Unit& unit : m_units)
        unit.session->journal()->setCapacity(capacity);
}

void UnitHost::shutdown(int flushBoundMs)
{
    for (Unit& unit : m_units)
        unit.session->endUploadsAndClose(flushBoundMs);
}

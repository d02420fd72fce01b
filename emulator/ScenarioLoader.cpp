#include "emulator/ScenarioLoader.h"

#include "fault/FaultInjector.h"
#include "fault/FaultRule.h"
#include "log/Log.h"
#include "log/LogManager.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "unit/EmulatedUnit.h"

#include <QDir>

bool ScenarioLoader::load(EmulatedUnit& unit, FaultInjector* faults, const QString& path, QString* error,
                          Scenario* loaded)
{
    Scenario scenario;
    return ScenarioFile::read(path, &scenario, error) && take(unit, faults, scenario, error, loaded);
}

bool ScenarioLoader::take(EmulatedUnit& unit, FaultInjector* faults, const Scenario& scenario, QString* error,
                          Scenario* loaded)
{
    if (!apply(unit, faults, scenario, error))
        return false;
    logLoaded(scenario);
    if (loaded)
        *loaded = scenario;
    return true;
}

bool ScenarioLoader::check(const Scenario& scenario, QString* error)
{
    QString problem;
    for (const QString& rule : scenario.faults) {
        if (!FaultRule::parse(rule, &problem)) {
            if (error)
                *error =
                    QStringLiteral("%1: faults: %2").arg(QDir::toNativeSeparators(scenario.path), problem);
            return false;
        }
    }
    return true;
}

bool ScenarioLoader::apply(EmulatedUnit& unit, FaultInjector* faults, const Scenario& scenario,
                           QString* error)
{
    // Whatever can still be refused goes first, so a refusal leaves everything as it was.
    if (!check(scenario, error))
        return false;
    if (faults) {
        QString problem;
        if (!faults->takeScenarioRules(scenario.faults, scenario.seed, &problem)) {
            if (error)
                *error =
                    QStringLiteral("%1: faults: %2").arg(QDir::toNativeSeparators(scenario.path), problem);
            return false;
        }
    }
    unit.setScenario(scenario.unit, scenario.records);
    unit.setScenarioRecordCount(scenario.recordCount);
    return true;
}

void ScenarioLoader::logLoaded(const Scenario& scenario)
{
    VLOG(1, QStringLiteral("加载场景: %1").arg(QDir::toNativeSeparators(scenario.path)));
    if (scenario.records.hasRows())
        VLOG(1, QStringLiteral("records.csv: %1 records per upload, sent as in the file")
                    .arg(scenario.records.rowCount()));
}

#include "service/ScenarioLoader.h"

#include "log/Log.h"
#include "log/LogManager.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "service/SetupService.h"

#include <QDir>

bool ScenarioLoader::load(const QString& path, const FaultRulesHook& faults, QString* error, Scenario* loaded)
{
    Scenario scenario;
    if (!ScenarioFile::read(path, &scenario, error) || !apply(scenario, faults, error))
        return false;
    logLoaded(scenario);
    if (loaded)
        *loaded = scenario;
    return true;
}

bool ScenarioLoader::apply(const Scenario& scenario, const FaultRulesHook& faults, QString* error)
{
    // Whatever can still be refused goes first, so a refusal leaves everything as it was.
    QString problem;
    if (faults && !faults(scenario.faults, scenario.seed, &problem)) {
        if (error)
            *error = QStringLiteral("%1: faults: %2").arg(QDir::toNativeSeparators(scenario.path), problem);
        return false;
    }
    SetupService* service = SetupService::instance();
    service->setScenario(scenario.unit, scenario.records);
    if (scenario.recordCount)
        service->slot_maxSendRecordCountChanged(*scenario.recordCount);
    return true;
}

void ScenarioLoader::logLoaded(const Scenario& scenario)
{
    VLOG(1, QStringLiteral("加载场景: %1").arg(QDir::toNativeSeparators(scenario.path)));
    if (scenario.records.hasRows())
        VLOG(1, QStringLiteral("records.csv: %1 records per upload, sent as in the file")
                    .arg(scenario.records.rowCount()));
}

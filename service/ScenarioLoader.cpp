#include "service/ScenarioLoader.h"

#include "log/Log.h"
#include "log/LogManager.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "service/SetupService.h"

#include <QDir>

bool ScenarioLoader::load(const QString& path, QString* error, Scenario* loaded)
{
    Scenario scenario;
    if (!ScenarioFile::read(path, &scenario, error) || !apply(scenario, error))
        return false;
    logLoaded(scenario);
    if (loaded)
        *loaded = scenario;
    return true;
}

bool ScenarioLoader::apply(const Scenario& scenario, QString* error)
{
    // Whatever can still be refused goes first, so a refusal leaves everything as it was.
    Q_UNUSED(error)
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

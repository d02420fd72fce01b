#include "service/ScenarioLoader.h"

#include "log/Log.h"
#include "log/LogManager.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "service/SetupService.h"

#include <QDir>

std::optional<int> ScenarioLoader::s_scenarioRecordCount;
int ScenarioLoader::s_recordCountBefore = 0;

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
    // The file replaces the one before as a whole: a count it leaves out returns to the one set
    // before any scenario, unless the operator changed the count since.
    const int current = SetupService::maxSendRecordCount();
    const bool countFromScenario = s_scenarioRecordCount && current == *s_scenarioRecordCount;
    if (scenario.recordCount) {
        if (!countFromScenario)
            s_recordCountBefore = current;
        service->slot_maxSendRecordCountChanged(*scenario.recordCount);
        s_scenarioRecordCount = scenario.recordCount;
    } else {
        if (countFromScenario)
            service->slot_maxSendRecordCountChanged(s_recordCountBefore);
        s_scenarioRecordCount.reset();
    }
    return true;
}

void ScenarioLoader::logLoaded(const Scenario& scenario)
{
    VLOG(1, QStringLiteral("加载场景: %1").arg(QDir::toNativeSeparators(scenario.path)));
    if (scenario.records.hasRows())
        VLOG(1, QStringLiteral("records.csv: %1 records per upload, sent as in the file")
                    .arg(scenario.records.rowCount()));
}

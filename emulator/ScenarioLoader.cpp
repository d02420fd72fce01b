#include "emulator/ScenarioLoader.h"

#include "fault/FaultRule.h"
#include "fault/FaultRules.h"
#include "log/Log.h"
#include "log/LogManager.h"
#include "scenario/Scenario.h"
#include "scenario/ScenarioFile.h"
#include "unit/EmulatedUnit.h"

#include <QDir>

#include <optional>

bool ScenarioLoader::load(EmulatedUnit& unit, FaultRules* faults, const QString& path, QString* error,
                          Scenario* loaded)
{
    Scenario scenario;
    return ScenarioFile::read(path, &scenario, error) && take(unit, faults, scenario, error, loaded);
}

bool ScenarioLoader::take(EmulatedUnit& unit, FaultRules* faults, const Scenario& scenario, QString* error,
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

bool ScenarioLoader::apply(EmulatedUnit& unit, FaultRules* faults, const Scenario& scenario, QString* error)
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
        faults->setTiming(scenario.timing);
    }
    unit.setScenario(scenario.unit, scenario.records);
    // A CSV counts its rows unless the file gives records.count; a count set later takes its rows too.
    std::optional<int> count = scenario.recordCount;
    if (!count && scenario.records.hasRows())
        count = scenario.records.rowCount();
    unit.setScenarioRecordCount(count);
    unit.setScenarioStopsUploadOnDtrDrop(scenario.stopUploadOnDtrDrop);
    return true;
}

void ScenarioLoader::logLoaded(const Scenario& scenario)
{
    VLOG(1, QStringLiteral("加载场景: %1").arg(QDir::toNativeSeparators(scenario.path)));
    if (scenario.records.hasRows()) {
        const int rows = scenario.records.rowCount();
        if (!scenario.recordCount || *scenario.recordCount == rows)
            VLOG(1, QStringLiteral("records.csv: %1 records per upload, sent as in the file").arg(rows));
        else
            VLOG(1, QStringLiteral("records.csv: %1 records per upload, %2")
                        .arg(*scenario.recordCount)
                        .arg(RecordSource::rowsTaken(*scenario.recordCount, rows)));
    }
    if (!scenario.unit.fixedReplies().empty())
        VLOG(1, QStringLiteral("replies: %1 commands answered as the scenario fixes")
                    .arg(scenario.unit.fixedReplies().size()));
    if (!scenario.timing.isEmpty())
        VLOG(1, QStringLiteral("timing: replies and upload pauses drawn from the scenario's samples"));
}

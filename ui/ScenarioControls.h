#pragma once

#include "service/ScenarioLoader.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class ScenarioControls;
}

// The load button of scenario files and the name of the one in force. A refused file
// is shown in a warning box and changes nothing.
class ScenarioControls : public QWidget
{
    Q_OBJECT

public:
    // Asks for a file to load; an empty path cancels.
    using PathChooser = std::function<QString(QWidget* parent)>;

    explicit ScenarioControls(QWidget* parent = nullptr);
    ~ScenarioControls() override;

    // The file dialog by default; tests give their own.
    void setPathChooser(PathChooser chooser) { m_choosePath = std::move(chooser); }
    // Where a scenario's fault rules go; without one they are not applied.
    void setFaultRulesHook(ScenarioLoader::FaultRulesHook hook) { m_faultRules = std::move(hook); }

signals:
    // The record count a loaded scenario put in force (its records.count, or the count from
    // before the scenario it replaced), for the record-count field.
    void record_count_loaded(int count);

private slots:
    void on_pushButtonLoadScenario_clicked();

private:
    std::unique_ptr<Ui::ScenarioControls> ui;
    PathChooser m_choosePath;
    ScenarioLoader::FaultRulesHook m_faultRules;
};

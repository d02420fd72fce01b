#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class EmulatedUnit;
class FaultRules;

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
    // The unit a scenario goes to and where its fault rules go; without a fault stage they
    // are not applied, without a unit the button loads nothing.
    void setTarget(EmulatedUnit* unit, FaultRules* faults);

signals:
    // The record count a loaded scenario put in force (its records.count, or the count from
    // before the scenario it replaced), for the record-count field.
    void record_count_loaded(int count);

private slots:
    void on_pushButtonLoadScenario_clicked();

private:
    std::unique_ptr<Ui::ScenarioControls> ui;
    PathChooser m_choosePath;
    EmulatedUnit* m_unit = nullptr;
    FaultRules* m_faults = nullptr;
};

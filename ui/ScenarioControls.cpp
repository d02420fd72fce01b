#include "ui/ScenarioControls.h"

#include "emulator/ScenarioLoader.h"
#include "scenario/Scenario.h"
#include "ui_ScenarioControls.h"
#include "unit/EmulatedUnit.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

const char* const kTitle = "加载场景 Load scenario";

} // namespace

ScenarioControls::ScenarioControls(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::ScenarioControls>()), m_choosePath([](QWidget* owner) {
          return QFileDialog::getOpenFileName(
              owner, QString::fromUtf8(kTitle), QString(),
              QStringLiteral("场景 Scenario (*.json);;所有文件 All files (*)"));
      })
{
    ui->setupUi(this);
}

void ScenarioControls::setTarget(EmulatedUnit* unit, FaultRules* faults)
{
    m_unit = unit;
    m_faults = faults;
}

ScenarioControls::~ScenarioControls() = default;

void ScenarioControls::on_pushButtonLoadScenario_clicked()
{
    if (!m_unit)
        return;
    const QString path = m_choosePath(this);
    if (path.isEmpty())
        return;
    Scenario scenario;
    QString error;
    const int countBefore = m_unit->recordCount();
    if (!ScenarioLoader::load(*m_unit, m_faults, path, &error, &scenario)) {
        QMessageBox::warning(this, QString::fromUtf8(kTitle), error);
        return;
    }
    ui->labelScenarioFile->setText(scenario.fileName());
    ui->labelScenarioFile->setToolTip(path);
    // Also when the count returns to its value from before the scenario this one replaced.
    if (scenario.recordCount || m_unit->recordCount() != countBefore)
        emit record_count_loaded(m_unit->recordCount());
}

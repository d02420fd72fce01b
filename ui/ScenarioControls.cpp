#include "ui/ScenarioControls.h"

#include "scenario/Scenario.h"
#include "service/ScenarioLoader.h"
#include "service/SetupService.h"
#include "ui_ScenarioControls.h"

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

ScenarioControls::~ScenarioControls() = default;

void ScenarioControls::on_pushButtonLoadScenario_clicked()
{
    const QString path = m_choosePath(this);
    if (path.isEmpty())
        return;
    Scenario scenario;
    QString error;
    const int countBefore = SetupService::maxSendRecordCount();
    if (!ScenarioLoader::load(path, m_faultRules, &error, &scenario)) {
        QMessageBox::warning(this, QString::fromUtf8(kTitle), error);
        return;
    }
    ui->labelScenarioFile->setText(scenario.fileName());
    ui->labelScenarioFile->setToolTip(path);
    // Also when the count returns to its value from before the scenario this one replaced.
    if (scenario.recordCount || SetupService::maxSendRecordCount() != countBefore)
        emit record_count_loaded(SetupService::maxSendRecordCount());
}

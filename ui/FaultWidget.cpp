#include "ui/FaultWidget.h"

#include "fault/FaultInjector.h"
#include "ui_FaultWidget.h"

FaultWidget::FaultWidget(FaultInjector* injector, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::FaultWidget>()), m_injector(injector)
{
    ui->setupUi(this);
    connect(ui->lineEditFaultRule, &QLineEdit::returnPressed, this,
            &FaultWidget::on_pushButtonAddFaultRule_clicked);
    connect(m_injector, &FaultInjector::rules_changed, this, &FaultWidget::showRules);
    showRules();
}

FaultWidget::~FaultWidget() = default;

void FaultWidget::addControls(QWidget* controls)
{
    ui->verticalLayout->addWidget(controls);
}

void FaultWidget::on_pushButtonAddFaultRule_clicked()
{
    const QString rule = ui->lineEditFaultRule->text().trimmed();
    if (rule.isEmpty())
        return;
    QString problem;
    if (!m_injector->addRule(rule, &problem)) {
        // The text stays for correction.
        ui->labelFaultError->setText(problem);
        return;
    }
    ui->labelFaultError->clear();
    ui->lineEditFaultRule->clear();
}

void FaultWidget::on_pushButtonClearFaultRules_clicked()
{
    ui->labelFaultError->clear();
    m_injector->clear();
}

void FaultWidget::showRules()
{
    const QList<FaultInjector::RuleStatus> rules = m_injector->rules();
    QListWidget* list = ui->listWidgetFaultRules;
    // Counts change often during an upload; only the texts are replaced, the selection stays.
    while (list->count() > rules.size())
        delete list->takeItem(list->count() - 1);
    for (int i = 0; i < rules.size(); ++i) {
        const QString text = QStringLiteral("%1    fired %2").arg(rules.at(i).text).arg(rules.at(i).fired);
        if (i < list->count())
            list->item(i)->setText(text);
        else
            list->addItem(text);
    }
}

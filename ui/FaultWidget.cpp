#include "ui/FaultWidget.h"

#include "fault/FaultRule.h"
#include "fault/FaultRules.h"
#include "ui_FaultWidget.h"

FaultWidget::FaultWidget(FaultRules* injector, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::FaultWidget>()), m_injector(injector)
{
    ui->setupUi(this);
    const int lineSpacing = ui->labelFaultError->fontMetrics().lineSpacing();
    // The list takes the room the tab has left instead of asking for more: the window's upper area
    // stays as high as the settings panel and the log pane keeps its lines.
    ui->listWidgetFaultRules->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    ui->listWidgetFaultRules->setMinimumHeight(3 * lineSpacing);
    connect(ui->lineEditFaultRule, &QLineEdit::returnPressed, this,
            &FaultWidget::on_pushButtonAddFaultRule_clicked);
    connect(m_injector, &FaultRules::rules_changed, this, &FaultWidget::showRules);
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
        // The text stays for correction. At most three lines of the error (in the font the
        // window gave it), so a long refusal does not push the list away; the tip keeps all of it.
        ui->labelFaultError->setMaximumHeight(3 * ui->labelFaultError->fontMetrics().lineSpacing());
        ui->labelFaultError->setText(problem);
        ui->labelFaultError->setToolTip(problem);
        return;
    }
    ui->labelFaultError->clear();
    ui->labelFaultError->setToolTip(QString());
    ui->lineEditFaultRule->clear();
}

void FaultWidget::on_pushButtonClearFaultRules_clicked()
{
    ui->labelFaultError->clear();
    ui->labelFaultError->setToolTip(QString());
    m_injector->clear();
}

void FaultWidget::showRules()
{
    const QList<FaultRules::RuleStatus> rules = m_injector->rules();
    QListWidget* list = ui->listWidgetFaultRules;
    // Counts change often during an upload; only the texts are replaced, the selection stays.
    while (list->count() > rules.size())
        delete list->takeItem(list->count() - 1);
    for (int i = 0; i < rules.size(); ++i) {
        QString text = QStringLiteral("%1    fired %2").arg(rules.at(i).text).arg(rules.at(i).fired);
        // A rule with a timeline shows whether it waits, is active or has ended.
        if (FaultRule::hasTimeline(rules.at(i).text))
            text += QStringLiteral("    ") + rules.at(i).state;
        if (i < list->count())
            list->item(i)->setText(text);
        else
            list->addItem(text);
    }
}

#include "ui/ToolWidget.h"

#include "ui/HexCmdParseDialog.h"
#include "ui_ToolWidget.h"

#include <QProgressBar>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

ToolWidget::ToolWidget(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::ToolWidget>()),
      m_hexCmdParseDialog(std::make_unique<HexCmdParseDialog>())
{
    ui->setupUi(this);

    // The validator Qt 5.15 and Qt 6 both have; QRegExp is gone from Qt 6.
    ui->lineEditMaxSendRecordCount->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]+$")), this));
    ui->lineEditMaxSendRecordCount->setMaxLength(8);
    ui->lineEditMaxSendRecordCount->setText(QStringLiteral("10000"));
    ui->progressBarUpload->hide();
}

ToolWidget::~ToolWidget() = default;

void ToolWidget::on_pushButtonHexCmdParse_clicked()
{
    m_hexCmdParseDialog->clearText();
    m_hexCmdParseDialog->exec();
}

void ToolWidget::on_lineEditMaxSendRecordCount_textChanged(QString text)
{
    bool ok = false;
    const int count = text.toInt(&ok, 10);
    emit max_send_record_count_changed(ok ? count : 0);
}

void ToolWidget::setMaxSendRecordCount(int count)
{
    ui->lineEditMaxSendRecordCount->setText(QString::number(count));
}

void ToolWidget::showRecordCount(int count)
{
    bool ok = false;
    const int shown = ui->lineEditMaxSendRecordCount->text().toInt(&ok, 10);
    if ((ok ? shown : 0) != count)
        setMaxSendRecordCount(count);
}

void ToolWidget::showUploadProgress(int sent, int total, double recordsPerSecond)
{
    QProgressBar* bar = ui->progressBarUpload;
    bar->setRange(0, qMax(total, 1));
    bar->setValue(qBound(0, sent, qMax(total, 1)));
    bar->setFormat(QStringLiteral("%1 / %2   %3 records/s")
                       .arg(sent)
                       .arg(qMax(total, 0))
                       .arg(recordsPerSecond, 0, 'f', 1));
    bar->show();
}

void ToolWidget::hideUploadProgress()
{
    ui->progressBarUpload->hide();
}

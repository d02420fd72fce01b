#include "ui/BaseSetupWidget.h"

#include "log/Log.h"
#include "ui/DisplayScale.h"
#include "ui/ParamSetupDialog.h"
#include "ui_BaseSetupWidget.h"

#include <QMessageBox>
#include <QTableWidgetItem>

BaseSetupWidget::BaseSetupWidget(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::BaseSetupWidget>()),
      m_paramSetupDialog(std::make_unique<ParamSetupDialog>())
{
    ui->setupUi(this);

    ui->tableWidget->setColumnWidth(0, 120);
    ui->tableWidget->setColumnWidth(1, 600);

    const double s = DisplayScale::factor();
    ui->pushButtonImport->setFixedSize(int(s * 80), int(s * 36));
    ui->pushButtonExport->setFixedSize(int(s * 80), int(s * 36));

    connect(ui->tableWidget, &QTableWidgetEx::itemSelectionEmpty, this,
            &BaseSetupWidget::slot_tableWidget_itemSelectionEmpty);

    addRow(1, QStringLiteral("123"));
    addRow(2, QStringLiteral("223"));
    addRow(3, QStringLiteral("323"));
}

BaseSetupWidget::~BaseSetupWidget() = default;

void BaseSetupWidget::addRow(quint32 cmd, const QString& data)
{
    const int row = ui->tableWidget->rowCount();
    ui->tableWidget->insertRow(row);
    ui->tableWidget->setItem(row, 0, new QTableWidgetItem(QString::number(cmd)));
    ui->tableWidget->setItem(row, 1, new QTableWidgetItem(data));
}

void BaseSetupWidget::slot_recvData(QString portName, unsigned char cmd, QByteArray recvData)
{
    Q_UNUSED(recvData)
    // The port goes into the first marker and the command into the second.
    VLOG(1, QStringLiteral("PORT:%1 >> Recv Data: CMD=%2").arg(portName).arg(int(cmd)));
    VLOG(1, QStringLiteral("PORT:%1 >> Unsupported CMD Of Base Setup[%2]!").arg(portName).arg(int(cmd)));
}

void BaseSetupWidget::slot_tableWidget_itemSelectionEmpty()
{
    ui->tableWidget->clearSelection();
}

void BaseSetupWidget::announce(const QString& text)
{
    QMessageBox::warning(this, QStringLiteral("Warning!"), text, QMessageBox::Ok, QMessageBox::Ok);
}

void BaseSetupWidget::on_pushButtonStopSend_clicked()
{
    announce(QStringLiteral("BaseSetupWidget::on_pushButtonStopSend_clicked"));
    emit stop_send();
}

void BaseSetupWidget::on_pushButtonAdd_clicked()
{
    announce(QStringLiteral("BaseSetupWidget::on_pushButtonInsert_clicked"));
    m_paramSetupDialog->setCmd(0);
    m_paramSetupDialog->setData(QString());
    if (m_paramSetupDialog->exec() != QDialog::Accepted)
        return;
    addRow(quint32(m_paramSetupDialog->cmd()), m_paramSetupDialog->data());
}

void BaseSetupWidget::on_pushButtonModify_clicked()
{
    announce(QStringLiteral("BaseSetupWidget::on_pushButtonModify_clicked"));
    const QList<QTableWidgetItem*> selected = ui->tableWidget->selectedItems();
    if (selected.isEmpty())
        return;
    // Take the cells by row: a row whose cell lost its item still edits safely.
    const int row = selected.first()->row();
    QTableWidgetItem* cmdItem = ui->tableWidget->item(row, 0);
    QTableWidgetItem* dataItem = ui->tableWidget->item(row, 1);
    m_paramSetupDialog->setCmd(cmdItem ? cmdItem->text().toInt() : 0);
    m_paramSetupDialog->setData(dataItem ? dataItem->text() : QString());
    if (m_paramSetupDialog->exec() != QDialog::Accepted)
        return;
    if (!cmdItem) {
        cmdItem = new QTableWidgetItem;
        ui->tableWidget->setItem(row, 0, cmdItem);
    }
    if (!dataItem) {
        dataItem = new QTableWidgetItem;
        ui->tableWidget->setItem(row, 1, dataItem);
    }
    cmdItem->setText(QString::number(m_paramSetupDialog->cmd()));
    dataItem->setText(m_paramSetupDialog->data());
}

void BaseSetupWidget::on_pushButtonDelete_clicked()
{
    announce(QStringLiteral("BaseSetupWidget::on_pushButtonDelete_clicked"));
}

void BaseSetupWidget::on_pushButtonImport_clicked()
{
    announce(QStringLiteral("BaseSetupWidget::on_pushButtonImport_clicked"));
}

void BaseSetupWidget::on_pushButtonExport_clicked()
{
    announce(QStringLiteral("BaseSetupWidget::on_pushButtonExport_clicked"));
}

#include "ui/ParamSetupDialog.h"

#include "protocol/CommandCatalogue.h"
#include "ui/DisplayScale.h"
#include "ui_ParamSetupDialog.h"

#include <QListView>
#include <QPushButton>

ParamSetupDialog::ParamSetupDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::ParamSetupDialog>())
{
    ui->setupUi(this);

    ui->comboBoxCmd->setView(new QListView(ui->comboBoxCmd));
    ui->comboBoxCmd->setStyleSheet(comboStyleSheet(DisplayScale::factor()));
    for (const CommandCatalogue::Entry& entry : CommandCatalogue::kEntries)
        ui->comboBoxCmd->addItem(QString::fromUtf8(entry.dialogEntry), qint32(toCode(entry.command)));

    ui->buttonBox->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    ui->buttonBox->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    ui->buttonBox->button(QDialogButtonBox::Reset)->setText(QStringLiteral("重置"));
}

ParamSetupDialog::~ParamSetupDialog() = default;

QString ParamSetupDialog::comboStyleSheet(double scale)
{
    const double height = 22 * scale;
    return (QStringLiteral("QComboBox { height:%2px; }") +
            QStringLiteral("QComboBox QAbstractItemView::item { min-height:%1px; } "))
        .arg(height)
        .arg(height);
}

void ParamSetupDialog::setCmd(qint32 cmd)
{
    m_cmd = (cmd >= 0 && cmd <= 0xFF && isCommand(std::uint8_t(cmd))) ? cmd : 0;
    selectStoredCmd();
}

void ParamSetupDialog::setData(const QString& data)
{
    m_data = data;
    ui->textEditData->setPlainText(data);
}

qint32 ParamSetupDialog::cmd() const
{
    return ui->comboBoxCmd->currentData().toInt();
}

QString ParamSetupDialog::data() const
{
    return ui->textEditData->toPlainText();
}

void ParamSetupDialog::on_buttonBox_clicked(QAbstractButton* button)
{
    if (ui->buttonBox->standardButton(button) != QDialogButtonBox::Reset)
        return;
    selectStoredCmd();
    ui->textEditData->setPlainText(m_data);
}

void ParamSetupDialog::selectStoredCmd()
{
    const int index = m_cmd == 0 ? 0 : ui->comboBoxCmd->findData(m_cmd);
    ui->comboBoxCmd->setCurrentIndex(index < 0 ? 0 : index);
}

#include "ui/ParamSetupDialog.h"

#include "ui/DisplayScale.h"
#include "ui_ParamSetupDialog.h"

#include <QListView>
#include <QPushButton>

namespace {

constexpr qint32 kLastCmd = 21;

const char* const kCmdTexts[kLastCmd] = {
    "[0x01]设置时间",          "[0x02]获取时间",          "[0x03]设置出厂编号",
    "[0x04]获取出厂编号",      "[0x05]设置设备名称",      "[0x06]获取设备名称",
    "[0x07]设置设备编号",      "[0x08]获取设备编号",      "[0x09]设置锁定状态",
    "[0x0A]设置使用密码",      "[0x0B]设置使用次数",      "[0x0C]获取文件记录",
    "[0x0D]清除文件记录",      "[0x0E]导入数据记录",      "[0x0F]设置操作人",
    "[0x10]获取操作人",        "[0x11]导入数据-扭矩模式", "[0x12]导入数据-螺栓模式",
    "[0x13]导入数据-角度模式", "[0x14]导入数据-挡位模式", "[0x15]导入数据-传感器模式",
};

} // namespace

ParamSetupDialog::ParamSetupDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::ParamSetupDialog>())
{
    ui->setupUi(this);

    ui->comboBoxCmd->setView(new QListView(ui->comboBoxCmd));
    ui->comboBoxCmd->setStyleSheet(comboStyleSheet(DisplayScale::factor()));
    for (qint32 cmd = 1; cmd <= kLastCmd; ++cmd)
        ui->comboBoxCmd->addItem(QString::fromUtf8(kCmdTexts[cmd - 1]), cmd);

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
    m_cmd = (cmd >= 1 && cmd <= kLastCmd) ? cmd : 0;
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

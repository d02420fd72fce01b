#include "ui/HexCmdParseDialog.h"

#include "render/HexFrameCheck.h"
#include "ui/PaneText.h"
#include "ui_HexCmdParseDialog.h"

#include <QLayout>
#include <QPushButton>

HexCmdParseDialog::HexCmdParseDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::HexCmdParseDialog>())
{
    ui->setupUi(this);

    setWindowFlags(Qt::Dialog | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setMinimumSize(480, 600);
    ui->textEditHexCmd->setMinimumHeight(160);
    ui->textEditParseText->setMinimumHeight(280);
    ui->splitter->setCollapsible(0, false);
    ui->splitter->setCollapsible(1, false);

    QPushButton* closeButton = ui->buttonBox->button(QDialogButtonBox::Cancel);
    closeButton->setText(QStringLiteral("关闭"));
    ui->buttonBox->layout()->setSpacing(0);
    ui->buttonBox->layout()->setContentsMargins(0, 0, 0, 0);
    // The button's width as laid out, not the default width of a widget never shown.
    ui->buttonBox->setFixedWidth(closeButton->sizeHint().width());

    m_buttonGroup.addButton(ui->radioButtonReq, 0);
    m_buttonGroup.addButton(ui->radioButtonRsp, 1);
    ui->radioButtonReq->setChecked(true);
    // Shown only when a parse has something to say beyond the rendered lines.
    ui->labelParseNote->setTextFormat(Qt::PlainText);
    ui->labelParseNote->hide();
}

HexCmdParseDialog::~HexCmdParseDialog() = default;

void HexCmdParseDialog::clearText()
{
    ui->textEditHexCmd->clear();
    ui->textEditParseText->clear();
    showNote(QString());
}

void HexCmdParseDialog::on_pushButtonParse_clicked()
{
    const QString input = ui->textEditHexCmd->toPlainText();
    ui->textEditParseText->clear();
    const auto direction = m_buttonGroup.checkedId() == 1 ? HexFrameRenderer::Direction::Response
                                                          : HexFrameRenderer::Direction::Request;
    for (const QString& paragraph : m_renderer.render(input, direction))
        PaneText::appendParagraph(ui->textEditParseText, paragraph);

    // The output pane shows the frame as it stands; what it leaves unsaid goes under it.
    const QStringList notes = HexFrameCheck::notes(input, direction, m_renderer.isOk(),
                                                   ui->radioButtonReq->text(), ui->radioButtonRsp->text());
    showNote(notes.join(QLatin1Char('\n')));
}

void HexCmdParseDialog::showNote(const QString& note)
{
    ui->labelParseNote->setText(note);
    ui->labelParseNote->setVisible(!note.isEmpty());
}

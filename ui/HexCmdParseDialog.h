#pragma once

#include "render/HexFrameRenderer.h"

#include <QButtonGroup>
#include <QDialog>

#include <memory>

namespace Ui {
class HexCmdParseDialog;
}

// Renders one pasted frame, as a request or a response, into readable lines; a wrong length
// or checksum, or a frame that renders only in the other direction, is said under them.
class HexCmdParseDialog : public QDialog
{
    Q_OBJECT

public:
    explicit HexCmdParseDialog(QWidget* parent = nullptr);
    ~HexCmdParseDialog() override;

    void clearText();

private slots:
    void on_pushButtonParse_clicked();

private:
    // A line under the output pane; hidden when empty.
    void showNote(const QString& note);

    std::unique_ptr<Ui::HexCmdParseDialog> ui;
    QButtonGroup m_buttonGroup;
    HexFrameRenderer m_renderer;
};

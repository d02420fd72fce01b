#pragma once

#include <QString>
#include <QWidget>

#include <memory>

class HexCmdParseDialog;

namespace Ui {
class ToolWidget;
}

// The tool tab: the record count of an upload and the door to the hex command parse dialog.
class ToolWidget : public QWidget
{
    Q_OBJECT

public:
    explicit ToolWidget(QWidget* parent = nullptr);
    ~ToolWidget() override;

    HexCmdParseDialog* hexCmdParseDialog() const { return m_hexCmdParseDialog.get(); }

public slots:
    // A record count from elsewhere (a scenario): shown in the field, which passes it on.
    void setMaxSendRecordCount(int count);
    // The unit's count as changed elsewhere (the control API): the field shows it unless it
    // already means that count, so the operator's own typing is never rewritten.
    void showRecordCount(int count);
    // The running upload's state under the record count; hidden while none runs.
    void showUploadProgress(int sent, int total, double recordsPerSecond);
    void hideUploadProgress();

signals:
    void max_send_record_count_changed(int count);

private slots:
    void on_pushButtonHexCmdParse_clicked();
    void on_lineEditMaxSendRecordCount_textChanged(QString text);

private:
    std::unique_ptr<Ui::ToolWidget> ui;
    std::unique_ptr<HexCmdParseDialog> m_hexCmdParseDialog;
};

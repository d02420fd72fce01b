#pragma once

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <memory>

class ParamSetupDialog;

namespace Ui {
class BaseSetupWidget;
}

// The base setup tab: a table of prepared command rows edited through the parameter
// dialog, and the button that stops a running record upload.
class BaseSetupWidget : public QWidget
{
    Q_OBJECT

public:
    explicit BaseSetupWidget(QWidget* parent = nullptr);
    ~BaseSetupWidget() override;

    void addRow(quint32 cmd, const QString& data);
    ParamSetupDialog* paramSetupDialog() const { return m_paramSetupDialog.get(); }

signals:
    void stop_send();

public slots:
    void slot_recvData(QString portName, unsigned char cmd, QByteArray recvData);
    void slot_tableWidget_itemSelectionEmpty();

private slots:
    void on_pushButtonStopSend_clicked();
    void on_pushButtonAdd_clicked();
    void on_pushButtonModify_clicked();
    void on_pushButtonDelete_clicked();
    void on_pushButtonImport_clicked();
    void on_pushButtonExport_clicked();

private:
    void announce(const QString& text);

    std::unique_ptr<Ui::BaseSetupWidget> ui;
    std::unique_ptr<ParamSetupDialog> m_paramSetupDialog;
};

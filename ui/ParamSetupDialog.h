#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class QAbstractButton;

namespace Ui {
class ParamSetupDialog;
}

// Picks a command and its data text for one row of the base setup table.
class ParamSetupDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ParamSetupDialog(QWidget* parent = nullptr);
    ~ParamSetupDialog() override;

    void setCmd(qint32 cmd);
    void setData(const QString& data);
    qint32 cmd() const;
    QString data() const;

    // "QComboBox { height:%2px; }QComboBox QAbstractItemView::item { min-height:%1px; } " at the scale.
    static QString comboStyleSheet(double scale);

private slots:
    void on_buttonBox_clicked(QAbstractButton* button);

private:
    void selectStoredCmd();

    std::unique_ptr<Ui::ParamSetupDialog> ui;
    qint32 m_cmd = 0;
    QString m_data;
};

#pragma once

#include <QWidget>

#include <memory>

class FaultRules;

namespace Ui {
class FaultWidget;
}

// The faults tab: rules that make the emulated unit misbehave, each listed with how often it
// has fired, and the error of a rule that was refused.
class FaultWidget : public QWidget
{
    Q_OBJECT

public:
    explicit FaultWidget(FaultRules* injector, QWidget* parent = nullptr);
    ~FaultWidget() override;

    // Further controls of the misbehaving unit (capture, scenario), below the rules.
    void addControls(QWidget* controls);

private slots:
    void on_pushButtonAddFaultRule_clicked();
    void on_pushButtonClearFaultRules_clicked();
    void showRules();

private:
    std::unique_ptr<Ui::FaultWidget> ui;
    FaultRules* m_injector;
};

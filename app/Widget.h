#pragma once

#include "emulator/UnitHost.h"

#include <QMetaObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

class BaseSetupWidget;
class ControlAddress;
class ControlEndpoint;
class FaultWidget;
class ToolWidget;

namespace Ui {
class Widget;
}

// The main window: serial settings panel, service tabs and log pane. It opens and
// closes the one port through UnitSession and wires the tabs to the emulation service.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget* parent = nullptr);
    ~Widget() override;

    static double scaleFactorForDpi(double dpi);

    // Types the port into the field and presses Open (the --open option).
    void openPort(const QString& portName);
    // Serves the control API for the window's unit (the --control option) until the session
    // ends; false with `error` set when the address cannot be bound. An empty token asks none.
    bool startControl(const ControlAddress& address, const QString& token, QString* error);

    // The pane holds at most this many lines, the newest; the log file keeps them all.
    static constexpr int kLogPaneMaxLines = 5000;
    // Lines dropped at once when the pane is full: dropping one line at a time makes
    // QTextEdit lay out the whole document again for every new line.
    static constexpr int kLogPaneTrimLines = 500;

public slots:
    void slot_OpenSerial();
    void slot_SearchSerial();
    void slot_comboBoxPortName_currentIndexChanged(QString text);
    void slot_comboBoxPortName_editTextChanged(QString text);
    void slot_comboBoxBaudRate_currentIndexChanged(QString text);
    void slot_comboBoxDataBits_currentIndexChanged(QString text);
    void slot_comboBoxStopBits_currentIndexChanged(QString text);
    void slot_comboBoxParity_currentIndexChanged(QString text);
    void slot_clearTextEdit();
    void slot_logAdded(QString log);
    // Shows the lines logged since the last flush; runs by itself once the event loop is free.
    void flushLogPane();
    // SIGTERM or SIGINT: a running upload ends with its end frame, the port closes as the
    // Close button closes it, and the application quits.
    void slot_terminationRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Closing the window or quitting: uploads end with their end frames, then the port closes.
    void endSession();
    // The settings panel as it is while no port is open.
    void showPortClosed();
    // The endpoint as opened (a listener's bound port) in the port field's tip and the status line.
    void showPortOpen();
    void setUpSettingsPanel(double s);
    void setUpServiceTabs(double s);
    void connectServiceTabs();
    void disconnectServiceTabs();
    void setSettingsEnabled(bool enabled);
    bool canOpenTypedPort() const;

    std::unique_ptr<Ui::Widget> ui;
    // The window's one unit is the process-wide service's, so the tabs and the registry see it.
    UnitHost m_host;
    UnitSession* m_portSession;
    BaseSetupWidget* m_baseSetupWidget = nullptr;
    ToolWidget* m_toolWidget = nullptr;
    FaultWidget* m_faultWidget = nullptr;
    QMetaObject::Connection m_baseSetupRspConnection;
    QMetaObject::Connection m_stopSendConnection;
    std::unique_ptr<ControlEndpoint> m_control;
    QStringList m_pendingPaneLines;
    QTimer m_paneFlushTimer;
};

#pragma once

#include "capture/CaptureWriter.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class UnitSession;

namespace Ui {
class CaptureControls;
}

// The capture check box with its file name: while checked, the session's open port and every
// port it opens later are captured to that file (created or replaced when it is checked).
class CaptureControls : public QWidget
{
    Q_OBJECT

public:
    explicit CaptureControls(QWidget* parent = nullptr);
    ~CaptureControls() override;

    void setUnitSession(UnitSession* session);
    bool isCapturing() const;

private slots:
    void on_checkBoxCapture_toggled(bool checked);
    // The file stopped taking packets (disk full, say): the box is unchecked with the reason.
    void captureFailed(const QString& reason);

private:
    void stop();

    std::unique_ptr<Ui::CaptureControls> ui;
    QPointer<UnitSession> m_session;
    CaptureWriter m_writer;
};

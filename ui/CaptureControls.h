#pragma once

#include "capture/CaptureWriter.h"

#include <QPointer>
#include <QSet>
#include <QString>
#include <QWidget>

#include <memory>

class UnitSession;

namespace Ui {
class CaptureControls;
}

// The capture check box with its file name: while checked, the session's open port and every
// port it opens later are captured to that file (created or replaced when it is checked). A file
// this window captured to before is never replaced: the capture goes to name-2.pcap (name-3, ...)
// and the status says so.
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
    // `path`, or a numbered name beside it when this window already captured to `path`.
    QString freshPath(const QString& path) const;

    std::unique_ptr<Ui::CaptureControls> ui;
    QPointer<UnitSession> m_session;
    CaptureWriter m_writer;
    QSet<QString> m_captured; // absolute paths captured to since the window opened
};

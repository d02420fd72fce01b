#include "ui/CaptureControls.h"

#include "emulator/UnitSession.h"
#include "log/Log.h"
#include "ui_CaptureControls.h"

#include <QSignalBlocker>

CaptureControls::CaptureControls(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::CaptureControls>())
{
    ui->setupUi(this);
    // The writer reports from whichever thread wrote; the box changes on the GUI thread.
    m_writer.setFailureHandler([this](const QString& reason) {
        QMetaObject::invokeMethod(this, "captureFailed", Qt::QueuedConnection, Q_ARG(QString, reason));
    });
}

CaptureControls::~CaptureControls()
{
    stop();
}

void CaptureControls::setUnitSession(UnitSession* session)
{
    if (m_session && m_session->lineObserver() == &m_writer)
        m_session->setLineObserver(nullptr);
    m_session = session;
    if (m_session && m_writer.isOpen())
        m_session->setLineObserver(&m_writer);
}

bool CaptureControls::isCapturing() const
{
    return ui->checkBoxCapture->isChecked() && m_writer.isOpen();
}

void CaptureControls::on_checkBoxCapture_toggled(bool checked)
{
    if (!checked) {
        stop();
        ui->labelCaptureStatus->setText(QStringLiteral("抓包结束：%1").arg(m_writer.path()));
        return;
    }
    const QString path = ui->lineEditCaptureFile->text().trimmed();
    if (!m_writer.open(path)) {
        const QSignalBlocker blocker(ui->checkBoxCapture);
        ui->checkBoxCapture->setChecked(false);
        ui->labelCaptureStatus->setText(
            QStringLiteral("无法写入抓包文件 %1：%2").arg(path, m_writer.error()));
        VLOG(1, ui->labelCaptureStatus->text());
        return;
    }
    ui->lineEditCaptureFile->setEnabled(false);
    ui->labelCaptureStatus->setText(QStringLiteral("抓包中：%1").arg(path));
    if (m_session)
        m_session->setLineObserver(&m_writer);
}

void CaptureControls::captureFailed(const QString& reason)
{
    stop();
    const QSignalBlocker blocker(ui->checkBoxCapture);
    ui->checkBoxCapture->setChecked(false);
    ui->labelCaptureStatus->setText(QStringLiteral("抓包失败：%1").arg(reason));
    VLOG(1, ui->labelCaptureStatus->text());
}

void CaptureControls::stop()
{
    // Off the line first, so no thread writes to a closing file.
    if (m_session && m_session->lineObserver() == &m_writer)
        m_session->setLineObserver(nullptr);
    m_writer.close();
    ui->lineEditCaptureFile->setEnabled(true);
}

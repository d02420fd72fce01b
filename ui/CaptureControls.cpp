#include "ui/CaptureControls.h"

#include "emulator/UnitSession.h"
#include "log/Log.h"
#include "ui_CaptureControls.h"

#include <QFileInfo>
#include <QRegularExpression>
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
    const QString typed = ui->lineEditCaptureFile->text().trimmed();
    const QString path = freshPath(typed);
    if (!m_writer.open(path)) {
        const QSignalBlocker blocker(ui->checkBoxCapture);
        ui->checkBoxCapture->setChecked(false);
        ui->labelCaptureStatus->setText(
            QStringLiteral("无法写入抓包文件 %1：%2").arg(path, m_writer.error()));
        VLOG(1, ui->labelCaptureStatus->text());
        return;
    }
    m_captured.insert(QFileInfo(path).absoluteFilePath());
    ui->lineEditCaptureFile->setEnabled(false);
    if (path == typed) {
        ui->labelCaptureStatus->setText(QStringLiteral("抓包中：%1").arg(path));
    } else {
        ui->lineEditCaptureFile->setText(path);
        ui->labelCaptureStatus->setText(
            QStringLiteral("抓包中：%1（保留本次早先的抓包 %2，不覆盖 / earlier capture kept）")
                .arg(path, typed));
        VLOG(1, ui->labelCaptureStatus->text());
    }
    if (m_session)
        m_session->setLineObserver(&m_writer);
}

QString CaptureControls::freshPath(const QString& path) const
{
    if (path.isEmpty() || !m_captured.contains(QFileInfo(path).absoluteFilePath()))
        return path;
    // name.pcap, then name-2.pcap, name-3.pcap: a name neither captured here nor on disk.
    const QFileInfo info(path);
    QString base = info.completeBaseName();
    base.remove(QRegularExpression(QStringLiteral("-[0-9]+$")));
    const QString suffix = info.suffix().isEmpty() ? QString() : QStringLiteral(".%1").arg(info.suffix());
    const bool inFolder = path.contains(QLatin1Char('/')) || path.contains(QLatin1Char('\\'));
    for (int n = 2;; ++n) {
        const QString name = QStringLiteral("%1-%2%3").arg(base).arg(n).arg(suffix);
        const QString candidate = inFolder ? info.path() + QLatin1Char('/') + name : name;
        if (!m_captured.contains(QFileInfo(candidate).absoluteFilePath()) && !QFileInfo::exists(candidate))
            return candidate;
    }
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

#include "PeerProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

PeerProcess::~PeerProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString PeerProcess::ttyPath() const
{
    return path("responder-tty");
}

QString PeerProcess::path(const char* name) const
{
    return m_dir.filePath(QString::fromLatin1(name));
}

bool PeerProcess::hasExited()
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(0);
}

QByteArray PeerProcess::output() const
{
    QFile file(path("responder.out"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool PeerProcess::start(const QString& program, const QStringList& arguments, const QByteArray& readyText)
{
    const QString name = QFileInfo(program).fileName();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    if (!QFileInfo(program).isExecutable()) {
        m_error = QStringLiteral("%1: no such program").arg(program);
        return false;
    }
    if (!m_line.start(ttyPath(), path("pc-tty"))) {
        m_error = QStringLiteral("socat did not create the pty pair in %1").arg(m_dir.path());
        return false;
    }
    m_process.setWorkingDirectory(m_dir.path());
    // A file, not a pipe: nobody reads it while the figures are taken.
    m_process.setStandardOutputFile(path("responder.out"));
    m_process.setStandardErrorFile(path("responder.out"), QIODevice::Append);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("%1 did not start: %2").arg(name, m_process.errorString());
        return false;
    }
    QDeadlineTimer deadline(5000);
    while (!output().contains(readyText)) {
        if (m_process.waitForFinished(10)) {
            m_error = QStringLiteral("%1 exited with status %2: %3")
                          .arg(name)
                          .arg(m_process.exitCode())
                          .arg(QString::fromUtf8(output().trimmed()));
            return false;
        }
        if (deadline.hasExpired()) {
            m_error =
                QStringLiteral("%1 did not print \"%2\" within 5 s").arg(name, QString::fromUtf8(readyText));
            return false;
        }
    }
    m_fd = m_line.openPc(true);
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot open %1").arg(path("pc-tty"));
        return false;
    }
    return true;
}

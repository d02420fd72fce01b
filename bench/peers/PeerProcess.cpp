#include "PeerProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

PeerProcess::~PeerProcess()
{
    // The tap first: it holds the responder's line.
    stop(m_tap);
    stop(m_process);
}

bool PeerProcess::stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    process.terminate();
    if (process.waitForFinished(5000))
        return true;
    process.kill();
    process.waitForFinished(5000);
    return false;
}

QString PeerProcess::ttyPath() const
{
    return path("responder-tty");
}

QString PeerProcess::capturePath() const
{
    return path("tap.pcap");
}

QString PeerProcess::path(const char* name) const
{
    return m_dir.filePath(QString::fromLatin1(name));
}

qint64 PeerProcess::pid() const
{
    return hasTap() ? m_tap.processId() : m_process.processId();
}

bool PeerProcess::hasExited()
{
    const auto exited = [](QProcess& process) {
        return process.state() == QProcess::NotRunning || process.waitForFinished(0);
    };
    return exited(m_process) || (hasTap() && exited(m_tap));
}

QByteArray PeerProcess::output() const
{
    return readAll(path("responder.out"));
}

QByteArray PeerProcess::tapOutput() const
{
    return readAll(path("tap.out"));
}

bool PeerProcess::stopTap()
{
    return stop(m_tap) && m_tap.exitStatus() == QProcess::NormalExit && m_tap.exitCode() == 0;
}

bool PeerProcess::startProcess(QProcess& process, const QString& program, const QStringList& arguments,
                               const QString& outputPath, const QByteArray& readyText)
{
    const QString name = QFileInfo(program).fileName();
    if (!QFileInfo(program).isExecutable()) {
        m_error = QStringLiteral("%1: no such program").arg(program);
        return false;
    }
    process.setWorkingDirectory(m_dir.path());
    // A file, not a pipe: nobody reads it while the figures are taken.
    process.setStandardOutputFile(outputPath);
    process.setStandardErrorFile(outputPath, QIODevice::Append);
    process.start(program, arguments);
    if (!process.waitForStarted(5000)) {
        m_error = QStringLiteral("%1 did not start: %2").arg(name, process.errorString());
        return false;
    }
    QDeadlineTimer deadline(5000);
    while (!readAll(outputPath).contains(readyText)) {
        if (process.waitForFinished(10)) {
            m_error = QStringLiteral("%1 exited with status %2: %3")
                          .arg(name)
                          .arg(process.exitCode())
                          .arg(QString::fromUtf8(readAll(outputPath).trimmed()));
            return false;
        }
        if (deadline.hasExpired()) {
            m_error =
                QStringLiteral("%1 did not print \"%2\" within 5 s").arg(name, QString::fromUtf8(readyText));
            return false;
        }
    }
    return true;
}

bool PeerProcess::start(const QString& program, const QStringList& arguments, const QByteArray& readyText)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory: %1").arg(m_dir.errorString());
        return false;
    }
    const QString farEnd = hasTap() ? path("tap-unit-tty") : path("pc-tty");
    if (!m_line.start(ttyPath(), farEnd)) {
        m_error = QStringLiteral("socat did not create the pty pair in %1").arg(m_dir.path());
        return false;
    }
    if (hasTap() && !m_tapLine.start(path("tap-pc-tty"), path("pc-tty"))) {
        m_error = QStringLiteral("socat did not create the tap's pty pair in %1").arg(m_dir.path());
        return false;
    }
    if (!startProcess(m_process, program, arguments, path("responder.out"), readyText))
        return false;
    if (hasTap() && !startProcess(m_tap, m_tapProgram,
                                  {QStringLiteral("tap"), path("tap-pc-tty"), path("tap-unit-tty"),
                                   QStringLiteral("--capture"), capturePath()},
                                  path("tap.out"), "Ctrl-C ends"))
        return false;
    m_fd = (hasTap() ? m_tapLine : m_line).openPc(true);
    if (m_fd < 0) {
        m_error = QStringLiteral("cannot open %1").arg(path("pc-tty"));
        return false;
    }
    return true;
}

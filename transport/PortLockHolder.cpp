#include "transport/PortLockHolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace {

// A lock file holds the pid as text on its first line; anything longer is not one.
constexpr qint64 kMaxLockBytes = 4096;

bool isRunning(qint64 pid)
{
#ifdef Q_OS_UNIX
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
#else
    return pid > 0;
#endif
}

} // namespace

QStringList PortLockHolder::defaultLockDirectories()
{
    // Where the serial port library looks, in its order.
    return {
        QStringLiteral("/var/lock"),         QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),   QStringLiteral("/tmp"),       QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock")};
}

QString PortLockHolder::lockFileName(const QString& portName)
{
    QString name = portName;
    const QString dev = QStringLiteral("/dev/");
    if (name.startsWith(dev))
        name = name.mid(dev.size());
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

QString PortLockHolder::lockFilePath(const QString& portName, const QStringList& lockDirectories)
{
    const QString fileName = lockFileName(portName);
    for (const QString& directory : lockDirectories) {
        const QString path = QDir(directory).filePath(fileName);
        if (QFile::exists(path))
            return path;
    }
    return QString();
}

qint64 PortLockHolder::runningHolder(const QString& lockFilePath)
{
    // Lock directories are writable by everyone: a FIFO there would block the read, a huge
    // file would be read whole.
    const QFileInfo info(lockFilePath);
    QFile file(lockFilePath);
    if (!info.isFile() || info.size() > kMaxLockBytes || !file.open(QIODevice::ReadOnly))
        return 0;
    bool number = false;
    const qint64 pid = file.readLine(64).trimmed().toLongLong(&number, 10);
    return number && isRunning(pid) ? pid : 0;
}

QString PortLockHolder::processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString();
    // A process names itself: no control characters reach the terminal.
    QString name = QString::fromUtf8(comm.readLine(64)).trimmed();
    for (QChar& c : name)
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    return name;
}

QString PortLockHolder::openErrorReason(const QString& portName, const QString& systemReason, bool lockFailed,
                                        const QStringList& lockDirectories)
{
    if (!lockFailed)
        return systemReason;
    const QString path = lockFilePath(portName, lockDirectories);
    if (path.isEmpty())
        return systemReason;
    const qint64 pid = runningHolder(path);
    if (pid == 0)
        return QStringLiteral("in use by another program (lock file %1)").arg(QDir::toNativeSeparators(path));
    const QString name = processName(pid);
    return name.isEmpty() ? QStringLiteral("in use by process %1").arg(pid)
                          : QStringLiteral("in use by process %1 (%2)").arg(pid).arg(name);
}

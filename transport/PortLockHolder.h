#pragma once

#include <QString>
#include <QStringList>

// Names the program that holds a serial port another process has locked: the pid in the
// port's lock file (LCK..NAME, the UUCP convention the serial port library follows) and
// that process's name from /proc.
class PortLockHolder
{
public:
    // The reason to show for a port that did not open. A lock failure with a lock file in
    // place becomes "in use by process 1234 (minicom)" when the file names a running process,
    // "in use by another program (lock file PATH)" when not; anything else keeps the system's reason.
    static QString openErrorReason(const QString& portName, const QString& systemReason, bool lockFailed,
                                   const QStringList& lockDirectories = defaultLockDirectories());

    // "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK.._tmp_varnel-emu" for /tmp/varnel-emu.
    static QString lockFileName(const QString& portName);
    // The port's first lock file in the directories, or an empty string.
    static QString lockFilePath(const QString& portName, const QStringList& lockDirectories);
    // The running process a lock file names, or 0.
    static qint64 runningHolder(const QString& lockFilePath);
    // The name /proc gives the process, or an empty string.
    static QString processName(qint64 pid);
    static QStringList defaultLockDirectories();
};

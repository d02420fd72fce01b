#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// The PC end of a socat pty pair for the benchmarks: the pair itself, requests built
// with a plain bitwise CRC of its own, and the figures read from /proc.
class BenchLine
{
public:
    BenchLine() = default;
    ~BenchLine();
    BenchLine(const BenchLine&) = delete;
    BenchLine& operator=(const BenchLine&) = delete;

    // Links emuPath <-> pcPath; false when the links did not appear.
    bool start(const QString& emuPath, const QString& pcPath);
    // Opens the PC end raw; the descriptor is closed with the line.
    int openPc(bool nonBlocking);
    // Opens a pty raw (-1 on failure); the caller closes it.
    static int openRaw(const QString& path, bool nonBlocking);

    static QByteArray request(quint8 command);
    // The bytes followed by their CRC-16/MODBUS, low byte first (the wire order here and in Modbus RTU).
    static QByteArray withCrc(const QByteArray& bytes);
    // VmRSS in kB of a process (0: this one); -1 when unreadable.
    static long rssKb(qint64 pid = 0);
    // utime + stime of a process in seconds; negative when it is gone.
    static double cpuSeconds(qint64 pid);

private:
    QProcess m_socat;
    QString m_pcPath;
    int m_fd = -1;
};

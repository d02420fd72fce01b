#include "BenchLine.h"

#include "util/ResidentMemory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

BenchLine::~BenchLine()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_socat.terminate();
    m_socat.waitForFinished(5000);
}

bool BenchLine::start(const QString& emuPath, const QString& pcPath)
{
    m_pcPath = pcPath;
    m_socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=%1").arg(emuPath),
                                            QStringLiteral("pty,raw,echo=0,link=%1").arg(pcPath)});
    QDeadlineTimer deadline(5000);
    while (!(QFile::exists(emuPath) && QFile::exists(pcPath)) && !deadline.hasExpired())
        QThread::msleep(10);
    return QFile::exists(emuPath) && QFile::exists(pcPath);
}

int BenchLine::openPc(bool nonBlocking)
{
    m_fd = openRaw(m_pcPath, nonBlocking);
    return m_fd;
}

int BenchLine::openRaw(const QString& path, bool nonBlocking)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | (nonBlocking ? O_NONBLOCK : 0));
    if (fd >= 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

QByteArray BenchLine::request(quint8 command)
{
    return withCrc(QByteArray::fromHex("5aa51234") + char(command) + QByteArray(2, '\0'));
}

QByteArray BenchLine::withCrc(const QByteArray& bytes)
{
    quint16 crc = 0xFFFF;
    for (char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    return bytes + char(crc & 0xFF) + char(crc >> 8);
}

long BenchLine::rssKb(qint64 pid)
{
    return util::residentKb(pid);
}

double BenchLine::cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // The name may contain spaces; the fields after it start two bytes past its ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

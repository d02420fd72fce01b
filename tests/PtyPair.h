#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// A virtual serial line made by socat: our side opens portPath(), the test peer
// reads and writes the other end through a raw file descriptor of its own.
class PtyPair
{
public:
    PtyPair()
    {
        m_socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=%1").arg(portPath()),
                                                QStringLiteral("pty,raw,echo=0,link=%1").arg(peerPath())});
        QElapsedTimer waited;
        waited.start();
        while (!(QFile::exists(portPath()) && QFile::exists(peerPath())) && waited.elapsed() < 5000)
            QTest::qWait(10);
        if (!QFile::exists(peerPath()))
            return;
        m_peer = ::open(QFile::encodeName(peerPath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_peer >= 0) {
            termios tio{};
            ::tcgetattr(m_peer, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(m_peer, TCSANOW, &tio);
        }
    }

    ~PtyPair()
    {
        closePeer();
        kill();
    }

    bool isValid() const { return m_peer >= 0; }
    // For a reader of its own, such as a thread that time-stamps arrivals.
    int peerFd() const { return m_peer; }
    QString portPath() const { return m_dir.filePath(QStringLiteral("port")); }
    QString peerPath() const { return m_dir.filePath(QStringLiteral("peer")); }

    bool write(const QByteArray& bytes)
    {
        qint64 done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::write(m_peer, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n < 0)
                return false;
            done += n;
        }
        return true;
    }

    // Reads while the Qt event loop keeps running, until `size` bytes or the time-out.
    QByteArray read(int size, int timeoutMs = 3000)
    {
        QByteArray out;
        QDeadlineTimer deadline(timeoutMs);
        while (out.size() < size && !deadline.hasExpired()) {
            char buf[4096];
            const ssize_t n = ::read(m_peer, buf, sizeof buf);
            if (n > 0)
                out.append(buf, static_cast<int>(n));
            else
                QTest::qWait(2);
        }
        return out;
    }

    // Everything that arrives within the window.
    QByteArray drain(int windowMs)
    {
        QByteArray out = read(1 << 30, windowMs);
        return out;
    }

    void closePeer()
    {
        if (m_peer >= 0)
            ::close(m_peer);
        m_peer = -1;
    }

    void kill()
    {
        if (m_socat.state() != QProcess::NotRunning) {
            m_socat.terminate();
            if (!m_socat.waitForFinished(3000))
                m_socat.kill();
            m_socat.waitForFinished(3000);
        }
    }

private:
    QTemporaryDir m_dir;
    QProcess m_socat;
    int m_peer = -1;
};

#include "transport/PtyTransport.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

PtyTransport::PtyTransport(const QString& linkPath, const SerialSettings& settings, QObject* parent)
    : LineTransport(parent), m_linkPath(linkPath), m_settings(settings)
{
}

PtyTransport::~PtyTransport()
{
    close();
}

QString PtyTransport::name() const
{
    return QStringLiteral("pty:") + m_linkPath;
}

bool PtyTransport::fail(const QString& what)
{
    m_error = QStringLiteral("%1: %2").arg(name(), what);
    close();
    return false;
}

bool PtyTransport::open()
{
    if (m_master >= 0)
        return true;
    // Only a link of our own is replaced: anything else at the path is the operator's.
    const QFileInfo existing(m_linkPath);
    if (existing.exists() || existing.isSymLink()) {
        if (!existing.isSymLink()) {
            m_error = QStringLiteral("%1: %2 exists and is not a link").arg(name(), m_linkPath);
            return false;
        }
        QFile::remove(m_linkPath);
    }
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0)
        return fail(QStringLiteral("cannot make a pseudo terminal: %1").arg(systemError()));
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
        return fail(QStringLiteral("cannot unlock the pseudo terminal: %1").arg(systemError()));
    const char* terminal = ::ptsname(m_master);
    if (!terminal)
        return fail(QStringLiteral("the pseudo terminal has no name: %1").arg(systemError()));
    m_terminal = QString::fromLocal8Bit(terminal);
    m_slave = ::open(terminal, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0)
        return fail(QStringLiteral("cannot open %1: %2").arg(m_terminal, systemError()));
    // Raw both ways, as a serial port the PC program opens would be set.
    termios settings{};
    if (::tcgetattr(m_slave, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(m_slave, TCSANOW, &settings);
    }
    if (!QFile::link(m_terminal, m_linkPath))
        return fail(QStringLiteral("cannot link %1 to %2").arg(m_linkPath, m_terminal));
    m_readable = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Read, this);
    connect(m_readable.get(), &QSocketNotifier::activated, this, &PtyTransport::onReadable);
    m_writable = std::make_unique<QSocketNotifier>(m_master, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable.get(), &QSocketNotifier::activated, this, &PtyTransport::pump);
    m_error.clear();
    emit message(QStringLiteral("PTY %1 -> %2").arg(m_linkPath, m_terminal));
    return true;
}

void PtyTransport::close()
{
    m_readable.reset();
    m_writable.reset();
    m_input.clear();
    m_output.clear();
    if (m_master < 0 && m_slave < 0)
        return;
    // The link first: while the terminal goes, no new opener finds it.
    const QFileInfo link(m_linkPath);
    if (link.isSymLink() && link.symLinkTarget() == m_terminal)
        QFile::remove(m_linkPath);
    for (int* fd : {&m_slave, &m_master}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_terminal.clear();
}

void PtyTransport::onReadable()
{
    char buffer[4096];
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            m_input.append(buffer, int(n));
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: all read; EIO cannot come while the other end is held open
    }
    if (any)
        emit readyRead();
}

QByteArray PtyTransport::readAll()
{
    // What arrived since the last notification belongs to this read too.
    char buffer[4096];
    ssize_t n = 0;
    while (m_master >= 0 && (n = ::read(m_master, buffer, sizeof buffer)) > 0)
        m_input.append(buffer, int(n));
    QByteArray bytes;
    bytes.swap(m_input);
    return bytes;
}

void PtyTransport::write(const QByteArray& bytes)
{
    if (m_master < 0 || bytes.isEmpty())
        return;
    m_output += bytes;
    pump();
}

void PtyTransport::pump()
{
    qint64 written = 0;
    while (!m_output.isEmpty()) {
        const ssize_t n = ::write(m_master, m_output.constData(), size_t(m_output.size()));
        if (n > 0) {
            m_output.remove(0, int(n));
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: the PC side is not reading; the rest waits
    }
    if (m_writable)
        m_writable->setEnabled(!m_output.isEmpty());
    if (written > 0)
        emit bytesWritten(written);
}

void PtyTransport::clearInput()
{
    readAll();
    m_input.clear();
}

void PtyTransport::clearAll()
{
    clearInput();
    m_output.clear();
    if (m_writable)
        m_writable->setEnabled(false);
}

bool PtyTransport::waitForBytesWritten(int msecs)
{
    if (m_master < 0 || m_output.isEmpty())
        return false;
    pollfd ready{m_master, POLLOUT, 0};
    if (::poll(&ready, 1, msecs) <= 0)
        return false;
    const qint64 before = m_output.size();
    pump();
    return m_output.size() < before;
}

#include "journal/EventFileWriter.h"

#include "journal/Journal.h"

#include <QFile>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kRetryMs = 50;
constexpr std::size_t kBatch = 4096;

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

EventFileWriter::EventFileWriter(QObject* parent) : QObject(parent) {}

EventFileWriter::~EventFileWriter()
{
    close();
}

bool EventFileWriter::open(const QString& path, QString* error)
{
    m_path = path;
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    m_fifo = ::stat(name.constData(), &info) == 0 && S_ISFIFO(info.st_mode);
    if (!m_fifo) {
        m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
        if (m_fd < 0) {
            if (error)
                *error = QStringLiteral("%1: %2").arg(path, systemError(errno));
            return false;
        }
    }
    m_thread = std::thread(&EventFileWriter::run, this);
    return true;
}

void EventFileWriter::follow(Journal* journal)
{
    m_cursors.push_back(Cursor{journal, journal->lastSeq()});
    connect(journal, &Journal::eventAdded, this, &EventFileWriter::wake, Qt::DirectConnection);
}

void EventFileWriter::wake()
{
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (m_pending)
            return;
        m_pending = true;
    }
    m_changed.notify_one();
}

void EventFileWriter::close(int boundMs)
{
    if (!m_thread.joinable())
        return;
    for (const Cursor& cursor : m_cursors)
        disconnect(cursor.journal, nullptr, this, nullptr);
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_stopping = true;
        m_pending = true;
        m_deadlineMs = nowMs() + boundMs;
    }
    m_changed.notify_one();
    m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void EventFileWriter::run()
{
    // A reader that goes away must end the writing, not the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    if (m_fifo && !openFifo())
        return;
    for (;;) {
        bool stopping;
        {
            std::unique_lock<std::mutex> locker(m_mutex);
            m_changed.wait(locker, [this] { return m_pending; });
            m_pending = false;
            stopping = m_stopping;
        }
        // Everything appended so far, in seq order per journal, a batch per write.
        bool more = true;
        while (more && !m_failed) {
            more = false;
            QByteArray lines;
            for (Cursor& cursor : m_cursors) {
                const std::vector<JournalEvent> events = cursor.journal->since(cursor.written, kBatch);
                if (events.empty())
                    continue;
                if (events.front().seq > cursor.written + 1)
                    m_missed += events.front().seq - cursor.written - 1;
                for (const JournalEvent& event : events)
                    lines += event.toJsonLine();
                cursor.written = events.back().seq;
                more = more || events.size() == kBatch;
            }
            if (!lines.isEmpty() && (!stillThere() || !writeAll(lines)))
                break;
        }
        if (stopping || m_failed)
            return;
    }
}

bool EventFileWriter::openFifo()
{
    const QByteArray name = QFile::encodeName(m_path);
    for (;;) {
        // Non-blocking, so a FIFO with no reader yet never holds the writer past a close.
        m_fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (m_fd >= 0)
            return true;
        if (errno != ENXIO) {
            fail(QStringLiteral("%1: %2").arg(m_path, systemError(errno)));
            return false;
        }
        std::unique_lock<std::mutex> locker(m_mutex);
        if (m_stopping && nowMs() >= m_deadlineMs)
            return false;
        m_changed.wait_for(locker, std::chrono::milliseconds(kRetryMs));
    }
}

bool EventFileWriter::stillThere()
{
    // Events written to a file nobody can open any more are lost all the same: say so once.
    struct stat info;
    if (m_fifo || ::fstat(m_fd, &info) != 0 || info.st_nlink > 0)
        return true;
    fail(QStringLiteral("%1: the file was deleted; no more events are written").arg(m_path));
    return false;
}

bool EventFileWriter::writeAll(const QByteArray& bytes)
{
    const char* data = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    // A regular file that fails mid-line (a full disk) is cut back to its last whole line.
    const auto keepWholeLines = [&] {
        const std::size_t written = std::size_t(bytes.size()) - left;
        if (written == 0)
            return QString();
        const int lastEnd = bytes.lastIndexOf('\n', int(written) - 1);
        const std::size_t torn = written - std::size_t(lastEnd + 1);
        struct stat info;
        if (!m_fifo && torn > 0 && ::fstat(m_fd, &info) == 0 && off_t(torn) <= info.st_size &&
            ::ftruncate(m_fd, info.st_size - off_t(torn)) != 0)
            return QStringLiteral("; its last line is cut (%1)").arg(systemError(errno));
        return QString();
    };
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, left);
        if (n > 0) {
            data += n;
            left -= std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // A FIFO whose reader is slow: wait, but not past the bound once closing.
            {
                std::lock_guard<std::mutex> locker(m_mutex);
                if (m_stopping && nowMs() >= m_deadlineMs) {
                    fail(QStringLiteral("%1: the reader took nothing until the end").arg(m_path));
                    return false;
                }
            }
            pollfd out{m_fd, POLLOUT, 0};
            ::poll(&out, 1, kRetryMs);
            continue;
        }
        const QString reason = systemError(n < 0 ? errno : EIO);
        fail(QStringLiteral("%1: %2").arg(m_path, reason) + keepWholeLines());
        return false;
    }
    return true;
}

void EventFileWriter::fail(const QString& reason)
{
    if (!m_failed.exchange(true))
        emit failed(reason);
}

#include "util/ReplacedFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

// The file a write replaces: a link's target, so the link stays a link.
QString targetOf(const QString& path)
{
    char resolved[PATH_MAX];
    if (::realpath(QFile::encodeName(path).constData(), resolved))
        return QFile::decodeName(resolved);
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// A new file beside `target`, named after it; -1 with errno when none can be made.
int makeBeside(const QString& target, QByteArray* name)
{
    for (int n = 0; n < 100; ++n) {
        *name = QFile::encodeName(QStringLiteral("%1.%2.%3.tmp").arg(target).arg(::getpid()).arg(n));
        const int fd = ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

QString ReplacedFile::refusal(const QString& path)
{
    if (path.isEmpty())
        return QStringLiteral("expected a file name");
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) == 0 && !S_ISREG(info.st_mode))
        return QStringLiteral("\"%1\" is %2, not a regular file").arg(path, kindOf(info.st_mode));
    const QString target = targetOf(path);
    const QString folder = QFileInfo(target).absolutePath();
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return QStringLiteral("\"%1\": no folder %2").arg(path, folder);
    QByteArray probe;
    const int fd = makeBeside(target, &probe);
    if (fd < 0)
        return QStringLiteral("\"%1\": cannot make a file in %2: %3").arg(path, folder, systemError(errno));
    ::close(fd);
    ::unlink(probe.constData());
    return QString();
}

bool ReplacedFile::write(const QString& path, const QByteArray& bytes, QString* error)
{
    const QString target = targetOf(path);
    const auto fail = [&](const char* step, int code, bool kept) {
        *error = QStringLiteral("%1 (%2)").arg(systemError(code), QLatin1String(step));
        if (kept)
            *error += QStringLiteral("; the file is as it was");
        return false;
    };
    QByteArray temporary;
    const int fd = makeBeside(target, &temporary);
    if (fd < 0)
        return fail("making the new file beside it", errno, true);
    const auto abandon = [&](const char* step) {
        const int code = errno;
        ::close(fd);
        ::unlink(temporary.constData());
        return fail(step, code, true);
    };
    // The old file's permissions carry over; a new one has the umask's.
    struct stat old;
    if (::stat(QFile::encodeName(target).constData(), &old) == 0 && ::fchmod(fd, old.st_mode & 07777) != 0)
        return abandon("setting its permissions");
    const char* data = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return abandon("writing");
        }
        data += n;
        left -= std::size_t(n);
    }
    if (::fsync(fd) != 0)
        return abandon("flushing it to the disk");
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return fail("closing it", code, true);
    }
    if (::rename(temporary.constData(), QFile::encodeName(target).constData()) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return fail("renaming it over the old one", code, true);
    }
    // The rename itself reaches the disk with the folder.
    const int folder = ::open(QFile::encodeName(QFileInfo(target).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return fail("opening its folder to flush it", errno, false);
    const bool synced = ::fsync(folder) == 0 || errno == EINVAL; // a folder that cannot be flushed
    const int code = errno;
    ::close(folder);
    if (!synced)
        return fail("flushing its folder to the disk", code, false);
    return true;
}

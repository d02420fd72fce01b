#include "util/BoundedFile.h"

#include <QFile>
#include <QFileInfo>

bool BoundedFile::read(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error)
{
    QByteArray read;
    const bool ok = readChunks(
        path, maxBytes,
        [&read, &path, maxBytes](const QByteArray& chunk) {
            if (read.isEmpty()) // in one piece, however many chunks it comes in
                read.reserve(int(qBound<qint64>(chunk.size(), QFileInfo(path).size(), maxBytes)));
            read += chunk;
            return true;
        },
        error);
    if (ok)
        *bytes = read;
    return ok;
}

bool BoundedFile::readChunks(const QString& path, qint64 maxBytes,
                             const std::function<bool(const QByteArray& chunk)>& take, QString* error)
{
    // Looked at before it is opened: opening a FIFO waits for a writer, reading /dev/zero never ends.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = info.isDir() ? QStringLiteral("it is a folder, not a file")
                              : QStringLiteral("not a regular file (a FIFO, a device or a socket); "
                                               "nothing was read from it");
        return false;
    }
    const QString limit =
        QStringLiteral("the limit is %1 MiB (%2 bytes)").arg(maxBytes / (1024 * 1024)).arg(maxBytes);
    if (info.exists() && info.size() > maxBytes) {
        *error = QStringLiteral("it is %1 bytes; %2").arg(info.size()).arg(limit);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.isSequential()) { // replaced by something else since it was looked at
        *error = QStringLiteral("not a regular file (a FIFO, a device or a socket)");
        return false;
    }
    // Read to its end, whatever size it had when looked at, but never past the bound.
    qint64 total = 0;
    for (;;) {
        const QByteArray chunk = file.read(qMin<qint64>(maxBytes + 1 - total, 1 << 20));
        if (file.error() != QFileDevice::NoError) {
            *error = file.errorString();
            return false;
        }
        if (chunk.isEmpty())
            return true;
        total += chunk.size();
        if (total > maxBytes) {
            *error = QStringLiteral("it is over %1 bytes; %2").arg(maxBytes).arg(limit);
            return false;
        }
        if (!take(chunk))
            return true;
    }
}

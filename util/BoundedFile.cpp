#include "util/BoundedFile.h"

#include <QFile>
#include <QFileInfo>

bool BoundedFile::read(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error)
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
    QByteArray read;
    read.reserve(static_cast<int>(qMin(info.size(), maxBytes)));
    for (;;) {
        const QByteArray chunk = file.read(qMin<qint64>(maxBytes + 1 - read.size(), 1 << 20));
        if (file.error() != QFileDevice::NoError) {
            *error = file.errorString();
            return false;
        }
        if (chunk.isEmpty())
            break;
        read += chunk;
        if (read.size() > maxBytes) {
            *error = QStringLiteral("it is over %1 bytes; %2").arg(maxBytes).arg(limit);
            return false;
        }
    }
    *bytes = read;
    return true;
}

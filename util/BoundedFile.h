#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Reads a whole input file only when it is a regular file no larger than a bound, so a FIFO,
// a device such as /dev/zero or a directory is refused before anything reads from it (a read
// that could block or never end), and an oversized file before its bytes are in memory.
class BoundedFile
{
public:
    // The bound of a scenario file and of the CSV it names.
    static constexpr qint64 kMaxInputBytes = 64 * 1024 * 1024;

    // False with `error` naming the path and the reason.
    static bool read(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error);
    // The same checks, the file handed over a chunk at a time as it is read, so a large one is
    // never held whole. `take` false stops the reading (no error). False as read() is.
    static bool readChunks(const QString& path, qint64 maxBytes,
                           const std::function<bool(const QByteArray& chunk)>& take, QString* error);
};

#pragma once

#include <QByteArray>
#include <QString>

// A file replaced whole: the new bytes go to a file beside it, reach the disk, and only then
// take its name, so a crash or a full disk leaves the old file, never half a file or an empty
// one. A link is followed: its target is the file replaced.
class ReplacedFile
{
public:
    // What stands in the way of replacing `path` later, or empty: it must be a regular file
    // (or not there yet) in a folder where a file can be made, tried by making one and
    // removing it. The problem names the path.
    static QString refusal(const QString& path);
    // False with `error` saying what failed and why, and whether the old file is as it was.
    static bool write(const QString& path, const QByteArray& bytes, QString* error);
};

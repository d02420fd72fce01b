#pragma once

#include <QByteArray>
#include <QString>

#include <ostream>

// What the sub-commands print: UTF-8 whatever the locale, so the Chinese labels survive a pipe.
class ConsoleText
{
public:
    static void write(std::ostream& stream, const QString& text);
    // Upper-case hex without separators, as frames are shown everywhere.
    static QString hex(const QByteArray& bytes);
};

#pragma once

#include <QByteArray>
#include <QString>

#include <ostream>

// What the sub-commands print: UTF-8 whatever the locale, so the Chinese labels survive a pipe.
class ConsoleText
{
public:
    static void write(std::ostream& stream, const QString& text);
    // A usage error as one line: "varnel-pc COMMAND: PROBLEM (see varnel-pc --help)".
    static void usageError(std::ostream& stream, const char* command, const QString& problem);
    // Upper-case hex without separators, as frames are shown everywhere.
    static QString hex(const QByteArray& bytes);
};

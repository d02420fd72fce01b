#pragma once

#include <QCommandLineOption>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// The -h/--help and --version that every program of ours answers the same way.
class StandardOptions
{
public:
    const QCommandLineOption help{QStringList{QStringLiteral("h"), QStringLiteral("help")}};
    const QCommandLineOption version{QStringLiteral("version")};

    // After a parse: true when --help (`usage` on stdout) or --version (`versionLine`) was
    // answered, and the program ends with 0.
    bool answered(const QCommandLineParser& parser, const char* usage, const char* versionLine) const;

    // The command line as the application object would give it, for a parse before one exists.
    static QStringList arguments(int argc, char* argv[]);

    // "PROGRAM: PROBLEM" and the usage on stderr; returns `code` for the program to exit with.
    static int usageError(const char* program, const QString& problem, const char* usage, int code = 2);
};

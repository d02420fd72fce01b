#include "util/StandardOptions.h"

#include <QCommandLineParser>

#include <cstdio>

bool StandardOptions::answered(const QCommandLineParser& parser, const char* usage,
                               const char* versionLine) const
{
    if (parser.isSet(help)) {
        std::fputs(usage, stdout);
        return true;
    }
    if (parser.isSet(version)) {
        std::puts(versionLine);
        return true;
    }
    return false;
}

QStringList StandardOptions::arguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

int StandardOptions::usageError(const char* program, const QString& problem, const char* usage, int code)
{
    std::fprintf(stderr, "%s: %s\n%s", program, qPrintable(problem), usage);
    return code;
}

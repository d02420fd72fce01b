#include "log/LogFileChooser.h"

#include <cstdio>

namespace {

bool opensForAppending(const QString& path)
{
    std::FILE* file = std::fopen(QFile::encodeName(path).constData(), "a");
    if (!file)
        return false;
    std::fclose(file);
    return true;
}

} // namespace

QString LogFileChooser::baseName(const QDate& date)
{
    return QStringLiteral("varnelTest%1.log").arg(date.toString(QStringLiteral("yyyyMMdd")));
}

QString LogFileChooser::numberedName(const QDate& date, int number)
{
    return QStringLiteral("varnelTest%1(%2).log").arg(date.toString(QStringLiteral("yyyyMMdd"))).arg(number);
}

QString LogFileChooser::choose(const QDate& date, const QDir& directory, int maxNumberedNames)
{
    // Relative names keep the file in the working directory as the operator expects.
    const auto candidate = [&directory](const QString& name) {
        return directory == QDir::current() ? name : directory.filePath(name);
    };
    if (opensForAppending(candidate(baseName(date))))
        return candidate(baseName(date));
    for (int n = 0; n < maxNumberedNames; ++n) {
        const QString name = candidate(numberedName(date, n));
        if (opensForAppending(name))
            return name;
    }
    return {};
}

#include "log/StartupLog.h"

#include "log/LogFileChooser.h"
#include "log/LogFileWriter.h"

#include <QDate>
#include <QFile>

#include <cstdio>
#include <string>

namespace {
LogFileWriter::DailyChooser workingDirectoryChooser(const char* program);
} // namespace

QString StartupLog::begin(const char* program)
{
    LogFileWriter::instance()->openDaily(workingDirectoryChooser(program), 1);
    if (LogFileWriter::instance()->path().empty())
        return {};
    LogFileWriter::instance()->write(2, "main", "main", __LINE__, 0, "%s", "VARNEL-TEST程序启动...");
    return QFile::decodeName(LogFileWriter::instance()->path().c_str());
}

namespace {

// Asked again at every change of day, failure message included.
LogFileWriter::DailyChooser workingDirectoryChooser(const char* program)
{
    const std::string name = program ? program : "";
    return [name](int year, int month, int day) -> std::string {
        const QString chosen = LogFileChooser::choose(QDate(year, month, day));
        if (chosen.isEmpty()) {
            std::fprintf(stderr,
                         "%s: no log file could be opened in the working directory; going on without one\n",
                         name.c_str());
            return {};
        }
        return QFile::encodeName(chosen).toStdString();
    };
}

} // namespace

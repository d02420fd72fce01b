#include "log/StartupLog.h"

#include "log/LogFileChooser.h"
#include "log/LogFileWriter.h"

#include <QDate>
#include <QFile>

#include <cstdio>
#include <string>

QString StartupLog::begin(const char* program)
{
    // The same choice runs again at every change of day, failure message included.
    const std::string name = program ? program : "";
    LogFileWriter* writer = LogFileWriter::instance();
    writer->openDaily(
        [name](int year, int month, int day) -> std::string {
            const QString chosen = LogFileChooser::choose(QDate(year, month, day));
            if (chosen.isEmpty()) {
                std::fprintf(
                    stderr,
                    "%s: no log file could be opened in the working directory; going on without one\n",
                    name.c_str());
                return {};
            }
            return QFile::encodeName(chosen).toStdString();
        },
        1);
    const std::string path = writer->path();
    if (path.empty())
        return {};
    writer->write(2, "main", "main", __LINE__, 0, "%s", "VARNEL-TEST程序启动...");
    return QFile::decodeName(path.c_str());
}

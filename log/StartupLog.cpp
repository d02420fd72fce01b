#include "log/StartupLog.h"

#include "log/LogFileChooser.h"
#include "log/LogFileWriter.h"

#include <QDate>
#include <QFile>

#include <cstdio>

QString StartupLog::begin(const char* program)
{
    const QString name = LogFileChooser::choose(QDate::currentDate());
    if (name.isEmpty()) {
        std::fprintf(stderr,
                     "%s: no log file could be opened in the working directory; going on without one\n",
                     program);
        return {};
    }
    LogFileWriter::instance()->open(QFile::encodeName(name).constData(), 1);
    LogFileWriter::instance()->write(2, "main", "main", __LINE__, 0, "%s", "VARNEL-TEST程序启动...");
    return name;
}

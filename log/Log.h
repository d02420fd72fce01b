#pragma once

#include "log/LogManager.h"

#include <QString>

// "bool Device::SendData(bool, uchar, Data*, int)" -> "Device::SendData".
QString qualifiedFunctionName(const char* prettyFunction);

// One line to the process's log under a source place given, for a line that names another
// place than where it is written (a helper speaking for its caller).
void writeLogLine(const QString& file, int line, const QString& function, int level, const QString& message);

// One short line per log call: source file, line and qualified function are filled in.
// The function's name is worked out once per call site.
#define VLOG(level, message)                                                                                 \
    do {                                                                                                     \
        static const QString s_vlogFunction = qualifiedFunctionName(Q_FUNC_INFO);                            \
        LogManager::instance()->log(QStringLiteral(__FILE__), __LINE__, s_vlogFunction, (level), (message)); \
    } while (false)

// As VLOG, under a function name given: for a line whose place in the log is older than the
// function that now writes it, so the log reads as it always did.
#define VLOG_AS(function, level, message)                                                                    \
    do {                                                                                                     \
        static const QString s_vlogFunction = QStringLiteral(function);                                      \
        LogManager::instance()->log(QStringLiteral(__FILE__), __LINE__, s_vlogFunction, (level), (message)); \
    } while (false)

// As VLOG_AS, under a source file given too (its base name, as the header shows it): for a line
// that moved to another file and must still log as it always did.
#define VLOG_FROM(file, function, level, message)                                                            \
    do {                                                                                                     \
        static const QString s_vlogFunction = QStringLiteral(function);                                      \
        LogManager::instance()->log(QStringLiteral(file), __LINE__, s_vlogFunction, (level), (message));     \
    } while (false)

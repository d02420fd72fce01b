#pragma once

#include "log/LogManager.h"

#include <QString>

// "bool Device::SendData(bool, uchar, Data*, int)" -> "Device::SendData".
QString qualifiedFunctionName(const char* prettyFunction);

// One line to the process's log under a source place given, for a line that names another
// place than where it is written: a helper speaking for its caller, so repeats fold per caller.
void writeLogLine(const QString& file, int line, const QString& function, int level, const QString& message);

// One short line per log call: source file, line and qualified function are filled in.
// The function's name is worked out once per call site.
#define VLOG(level, message)                                                                                 \
    do {                                                                                                     \
        static const QString s_vlogFunction = qualifiedFunctionName(Q_FUNC_INFO);                            \
        LogManager::instance()->log(QStringLiteral(__FILE__), __LINE__, s_vlogFunction, (level), (message)); \
    } while (false)

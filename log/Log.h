#pragma once

#include "log/LogManager.h"

#include <QString>

// "bool Device::SendData(bool, uchar, Data*, int)" -> "Device::SendData".
QString qualifiedFunctionName(const char* prettyFunction);

// One short line per log call: source file, line and qualified function are filled in.
#define VLOG(level, message)                                                                                 \
    LogManager::instance()->log(QStringLiteral(__FILE__), __LINE__, qualifiedFunctionName(Q_FUNC_INFO),      \
                                (level), (message))

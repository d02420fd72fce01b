#include "log/Log.h"

#include <cstring>

QString qualifiedFunctionName(const char* prettyFunction)
{
    if (!prettyFunction)
        return {};
    const char* paren = std::strchr(prettyFunction, '(');
    const char* end = paren ? paren : prettyFunction + std::strlen(prettyFunction);
    // The name starts after the last blank before the parameter list, skipping a
    // return type; template arguments may hold blanks, so track angle depth.
    const char* start = prettyFunction;
    int depth = 0;
    for (const char* p = prettyFunction; p < end; ++p) {
        if (*p == '<')
            ++depth;
        else if (*p == '>')
            --depth;
        else if (*p == ' ' && depth == 0)
            start = p + 1;
    }
    while (start < end && (*start == '*' || *start == '&'))
        ++start;
    return QString::fromUtf8(start, static_cast<int>(end - start));
}

void writeLogLine(const QString& file, int line, const QString& function, int level, const QString& message)
{
    LogManager::instance()->log(file, line, function, level, message);
}

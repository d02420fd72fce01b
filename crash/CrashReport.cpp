#include "crash/CrashReport.h"

#include <cstdio>

namespace {

std::string hex32(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value & 0xFFFFFFFFu));
    return text;
}

} // namespace

std::string CrashReport::format(std::uint64_t code, std::uint64_t address, std::uint64_t flags,
                                const std::vector<CallStackEntry>& stack)
{
    std::string report;
    report += "ErrorCode: " + hex32(code) + "\n";
    report += "Address: " + hex32(address) + "\n";
    report += "Flags: " + hex32(flags) + "\n";
    report += "CallStack: \n";
    for (const CallStackEntry& e : stack) {
        report += e.functionName + "() : [" + e.moduleName + "] (File: " + e.fileName + " @Line " +
                  e.lineNumber + ")\n";
    }
    return report;
}

std::string CrashReport::stripParameters(const std::string& function)
{
    int depth = 0;
    for (std::size_t i = 0; i < function.size(); ++i) {
        const char c = function[i];
        if (c == '<')
            ++depth;
        else if (c == '>')
            --depth;
        else if (c == '(' && depth == 0 && i > 0)
            return function.substr(0, i);
    }
    return function;
}

#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One frame of the crash report's call stack; "N/A" where a lookup failed.
struct CallStackEntry
{
    std::string moduleName = "N/A";
    std::string functionName = "N/A";
    std::string fileName = "N/A";
    std::string lineNumber = "N/A";
};

// The text shown when the process dies of an unhandled fault. Platform independent,
// so both crash handlers and the tests format it the same way.
class CrashReport
{
public:
    // Values are printed "%08X" from their low 32 bits.
    static std::string format(std::uint64_t code, std::uint64_t address, std::uint64_t flags,
                              const std::vector<CallStackEntry>& stack);

    // "ns::Class::method(int) const" -> "ns::Class::method".
    static std::string stripParameters(const std::string& function);
};

// Installs the process's handler for fatal faults; the report goes to the user and the
// process then ends as the fault would have ended it.
void installCrashHandler();

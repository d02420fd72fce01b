// Unhandled-exception report for Windows: the debug-help library walks the faulting
// thread's stack and names each frame; the report goes to the fatal-exit message box.
#include "crash/CrashReport.h"

#include <windows.h>

#include <dbghelp.h>

#include <string>
#include <vector>

namespace {

constexpr DWORD kMaxSymbolName = 1024;

std::vector<CallStackEntry> walkCallStack(const CONTEXT* context)
{
    std::vector<CallStackEntry> stack;
    HANDLE process = GetCurrentProcess();
    HANDLE thread = GetCurrentThread();
    SymInitialize(process, nullptr, TRUE);

    CONTEXT copy = *context;
    STACKFRAME64 frame = {};
    frame.AddrPC.Offset = copy.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = copy.Rsp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = copy.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;

    std::vector<char> symbolBuffer(sizeof(IMAGEHLP_SYMBOL64) + kMaxSymbolName);
    while (StackWalk64(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &copy, nullptr,
                       SymFunctionTableAccess64, SymGetModuleBase64, nullptr) &&
           frame.AddrFrame.Offset != 0) {
        CallStackEntry entry;
        auto* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(symbolBuffer.data());
        symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
        symbol->MaxNameLength = kMaxSymbolName;
        DWORD64 displacement = 0;
        if (SymGetSymFromAddr64(process, frame.AddrPC.Offset, &displacement, symbol))
            entry.functionName = symbol->Name;

        IMAGEHLP_LINE64 line = {};
        line.SizeOfStruct = sizeof line;
        DWORD lineDisplacement = 0;
        if (SymGetLineFromAddr64(process, frame.AddrPC.Offset, &lineDisplacement, &line)) {
            entry.fileName = line.FileName;
            entry.lineNumber = std::to_string(line.LineNumber);
        }

        IMAGEHLP_MODULE64 module = {};
        module.SizeOfStruct = sizeof module;
        if (SymGetModuleInfo64(process, frame.AddrPC.Offset, &module))
            entry.moduleName = module.ModuleName;
        stack.push_back(entry);
    }
    SymCleanup(process);
    return stack;
}

LONG WINAPI crashHandler(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const std::string report =
        CrashReport::format(record->ExceptionCode, reinterpret_cast<DWORD64>(record->ExceptionAddress),
                            record->ExceptionFlags, walkCallStack(pointers->ContextRecord));
    const int size = MultiByteToWideChar(CP_UTF8, 0, report.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, report.c_str(), -1, &wide[0], size);
    FatalAppExitW(0, wide.c_str());
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void installCrashHandler()
{
    SetUnhandledExceptionFilter(crashHandler);
}

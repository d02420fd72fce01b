// Fatal-signal crash report for Linux: glibc walks the stack, elfutils' libdw names
// each frame's function, module, source file and line.
#include "crash/CrashReport.h"

#include <cxxabi.h>
#include <elfutils/libdwfl.h>
#include <execinfo.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 128;

std::string demangled(const char* name)
{
    int status = 0;
    char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string out = status == 0 && plain ? plain : name;
    std::free(plain);
    return CrashReport::stripParameters(out);
}

std::string baseName(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

CallStackEntry describe(Dwfl* dwfl, Dwarf_Addr pc)
{
    CallStackEntry entry;
    Dwfl_Module* module = dwfl ? dwfl_addrmodule(dwfl, pc) : nullptr;
    if (!module)
        return entry;
    const char* moduleName =
        dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (moduleName && *moduleName)
        entry.moduleName = baseName(moduleName);
    if (const char* symbol = dwfl_module_addrname(module, pc))
        entry.functionName = demangled(symbol);
    if (Dwfl_Line* line = dwfl_module_getsrc(module, pc)) {
        int lineNumber = 0;
        if (const char* file = dwfl_lineinfo(line, nullptr, &lineNumber, nullptr, nullptr, nullptr)) {
            entry.fileName = file;
            entry.lineNumber = std::to_string(lineNumber);
        }
    }
    return entry;
}

std::uintptr_t faultingPc(const void* context)
{
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(static_cast<const ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<std::uintptr_t>(static_cast<const ucontext_t*>(context)->uc_mcontext.pc);
#else
    (void)context;
    return 0;
#endif
}

// Innermost first, starting at the faulting instruction rather than at this handler.
std::vector<CallStackEntry> walkCallStack(const void* context)
{
    void* frames[kMaxFrames];
    const int count = backtrace(frames, kMaxFrames);
    const std::uintptr_t pc = faultingPc(context);
    int first = 0;
    for (int i = 0; i < count; ++i) {
        if (reinterpret_cast<std::uintptr_t>(frames[i]) == pc) {
            first = i;
            break;
        }
    }

    static const Dwfl_Callbacks callbacks = {dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr,
                                             nullptr};
    Dwfl* dwfl = dwfl_begin(&callbacks);
    if (dwfl &&
        (dwfl_linux_proc_report(dwfl, getpid()) != 0 || dwfl_report_end(dwfl, nullptr, nullptr) != 0)) {
        dwfl_end(dwfl);
        dwfl = nullptr;
    }
    std::vector<CallStackEntry> stack;
    for (int i = first; i < count; ++i) {
        // Return addresses point after the call; look up the call itself.
        const auto address = reinterpret_cast<Dwarf_Addr>(frames[i]);
        stack.push_back(describe(dwfl, i == first && pc ? address : address - 1));
    }
    if (dwfl)
        dwfl_end(dwfl);
    return stack;
}

void crashHandler(int signal, siginfo_t* info, void* context)
{
    // A second fault while reporting ends the process at once.
    for (int s : kFatalSignals)
        ::signal(s, SIG_DFL);
    const std::string report = CrashReport::format(
        static_cast<std::uint64_t>(signal), reinterpret_cast<std::uintptr_t>(info->si_addr),
        static_cast<std::uint64_t>(info->si_code), walkCallStack(context));
    std::size_t written = 0;
    while (written < report.size()) {
        const ssize_t n = ::write(STDERR_FILENO, report.data() + written, report.size() - written);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    ::raise(signal);
}

} // namespace

void installCrashHandler()
{
    // The report must be possible after a stack overflow too.
    static char alternateStack[4 * 1024 * 1024]; // libdw's line tables need deep recursion
    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action = {};
    action.sa_sigaction = &crashHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int s : kFatalSignals)
        sigaction(s, &action, nullptr);
}

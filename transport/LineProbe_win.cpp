#include "transport/LineProbe.h"

#include <windows.h>

bool LineProbe::isPseudoTerminal(std::intptr_t)
{
    return false;
}

LineProbe::Verdict LineProbe::check(std::intptr_t handle)
{
    // A removed adapter fails every communications call on its handle.
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &status))
        return {};
    const DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED && code != ERROR_BAD_COMMAND && code != ERROR_INVALID_HANDLE &&
        code != ERROR_DEVICE_NOT_CONNECTED && code != ERROR_GEN_FAILURE)
        return {};
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                   sizeof text, nullptr);
    std::string reason(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
        reason.pop_back();
    return {true, reason};
}

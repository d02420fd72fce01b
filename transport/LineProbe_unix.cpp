#include "transport/LineProbe.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

namespace {

bool lineGoneErrno(int error)
{
    return error == EIO || error == ENXIO || error == EBADF || error == ENODEV;
}

} // namespace

bool LineProbe::isPseudoTerminal(std::intptr_t handle)
{
#ifdef __linux__
    struct stat info
    {
    };
    if (::fstat(static_cast<int>(handle), &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    // Unix98 pty slaves (136-143), the old BSD ptys (2, 3) and /dev/ptmx (5, 2).
    const unsigned int devMajor = major(info.st_rdev);
    return (devMajor >= 136 && devMajor <= 143) || devMajor == 2 || devMajor == 3 ||
           (devMajor == 5 && minor(info.st_rdev) == 2);
#else
    (void)handle;
    return false;
#endif
}

LineProbe::Verdict LineProbe::check(std::intptr_t handle)
{
    const int fd = static_cast<int>(handle);
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        const int error = errno;
        if (lineGoneErrno(error))
            return {true, std::strerror(error)};
    }
    pollfd probe{fd, 0, 0};
    if (::poll(&probe, 1, 0) > 0) {
        if (probe.revents & POLLNVAL)
            return {true, std::strerror(EBADF)};
        if (probe.revents & POLLHUP)
            return {true, "the line hung up"};
    }
    return {};
}

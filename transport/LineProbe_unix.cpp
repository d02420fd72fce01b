#include "transport/LineProbe.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <termios.h>

namespace {

bool lineGoneErrno(int error)
{
    return error == EIO || error == ENXIO || error == EBADF || error == ENODEV;
}

} // namespace

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

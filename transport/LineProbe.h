#pragma once

#include <cstdint>
#include <string>

// Asks the line itself whether it is gone. A port library's error code cannot tell a vanished
// adapter from a full output queue or an empty read after our own input flush, and its reason
// text may be a stale errno; the descriptor and a terminal call on it can.
class LineProbe
{
public:
    struct Verdict
    {
        bool gone = false;
        std::string reason; // the system's current reason, when gone
    };

    // handle: the open port's native descriptor (a file descriptor, or a HANDLE on Windows).
    static Verdict check(std::intptr_t handle);
    // Whether the port is a pseudo terminal (one end of a virtual pair): it carries neither a
    // break nor modem lines.
    static bool isPseudoTerminal(std::intptr_t handle);
};

#pragma once

// The REPLY_HEX argument of the floor peers, in C so that both the C and the C++ one take it.
#include <stddef.h>
#include <string.h>

#define REPLY_HEX_MAX_BYTES 4096

static inline int replyHexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of `hex` into `reply`: their count; 0 when it is not 1 to REPLY_HEX_MAX_BYTES bytes of
// hex, -1 when a digit is not hex.
static inline long replyFromHex(const char* hex, unsigned char reply[REPLY_HEX_MAX_BYTES])
{
    const size_t length = strlen(hex);
    if (length == 0 || length % 2 != 0 || length / 2 > REPLY_HEX_MAX_BYTES)
        return 0;
    for (size_t i = 0; i < length / 2; ++i) {
        const int high = replyHexDigit(hex[2 * i]);
        const int low = replyHexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return -1;
        reply[i] = (unsigned char)(high * 16 + low);
    }
    return (long)(length / 2);
}

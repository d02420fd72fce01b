// The floor of a pty round trip: reads a request of a fixed length and writes a fixed
// reply, with no parsing at all.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "reply_hex.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: peer-pty-echo TTY REQUEST_BYTES REPLY_HEX\n");
        return 2;
    }
    char* end = NULL;
    const long requestBytes = strtol(argv[2], &end, 10);
    if (*argv[2] == '\0' || *end != '\0' || requestBytes < 1 || requestBytes > 4096) {
        fprintf(stderr, "peer-pty-echo: REQUEST_BYTES \"%s\" is not a number from 1 to 4096\n", argv[2]);
        return 2;
    }
    unsigned char reply[REPLY_HEX_MAX_BYTES];
    const long replyLength = replyFromHex(argv[3], reply);
    if (replyLength == 0) {
        fprintf(stderr, "peer-pty-echo: REPLY_HEX \"%s\" is not 1 to 4096 bytes of hex\n", argv[3]);
        return 2;
    }
    if (replyLength < 0) {
        fprintf(stderr, "peer-pty-echo: REPLY_HEX \"%s\" has a non-hex digit\n", argv[3]);
        return 2;
    }

    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    struct termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        fprintf(stderr, "peer-pty-echo: cannot open %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    printf("ready on %s\n", argv[1]);
    fflush(stdout);

    unsigned char request[4096];
    for (;;) {
        for (long got = 0; got < requestBytes;) {
            const ssize_t n = read(fd, request + got, (size_t)(requestBytes - got));
            if (n <= 0) {
                // The line went away: the pair was closed.
                close(fd);
                return 0;
            }
            got += n;
        }
        for (size_t sent = 0; sent < (size_t)replyLength;) {
            const ssize_t n = write(fd, reply + sent, (size_t)replyLength - sent);
            if (n <= 0) {
                close(fd);
                return 0;
            }
            sent += (size_t)n;
        }
    }
}

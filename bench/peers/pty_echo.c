// The floor of a pty round trip: reads a request of a fixed length and writes a fixed
// reply, with no parsing at all.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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
    const size_t hexLength = strlen(argv[3]);
    unsigned char reply[4096];
    if (hexLength == 0 || hexLength % 2 != 0 || hexLength / 2 > sizeof reply) {
        fprintf(stderr, "peer-pty-echo: REPLY_HEX \"%s\" is not 1 to 4096 bytes of hex\n", argv[3]);
        return 2;
    }
    for (size_t i = 0; i < hexLength / 2; ++i) {
        const int high = hexValue(argv[3][2 * i]);
        const int low = hexValue(argv[3][2 * i + 1]);
        if (high < 0 || low < 0) {
            fprintf(stderr, "peer-pty-echo: REPLY_HEX \"%s\" has a non-hex digit\n", argv[3]);
            return 2;
        }
        reply[i] = (unsigned char)(high * 16 + low);
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
        for (size_t sent = 0; sent < hexLength / 2;) {
            const ssize_t n = write(fd, reply + sent, hexLength / 2 - sent);
            if (n <= 0) {
                close(fd);
                return 0;
            }
            sent += (size_t)n;
        }
    }
}

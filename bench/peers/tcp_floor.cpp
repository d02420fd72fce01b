// The floor of a TCP round trip to many listeners: one epoll loop over COUNT listening
// ports on 127.0.0.1 that answers every complete request of a fixed length with a fixed
// reply, with no parsing, logging or timers. What a client and the kernel cost on their own.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "reply_hex.h"

namespace {

bool parseCount(const char* text, long low, long high, long& value)
{
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && value >= low && value <= high;
}

int fail(const char* what)
{
    std::fprintf(stderr, "peer-tcp-floor: %s: %s\n", what, std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    long count = 0;
    long requestBytes = 0;
    if (argc != 4) {
        std::fprintf(stderr, "usage: peer-tcp-floor COUNT REQUEST_BYTES REPLY_HEX\n");
        return 2;
    }
    if (!parseCount(argv[1], 1, 100000, count)) {
        std::fprintf(stderr, "peer-tcp-floor: COUNT \"%s\" is not a number from 1 to 100000\n", argv[1]);
        return 2;
    }
    if (!parseCount(argv[2], 1, 4096, requestBytes)) {
        std::fprintf(stderr, "peer-tcp-floor: REQUEST_BYTES \"%s\" is not a number from 1 to 4096\n",
                     argv[2]);
        return 2;
    }
    unsigned char replyBytes[REPLY_HEX_MAX_BYTES];
    const long replyLength = replyFromHex(argv[3], replyBytes);
    if (replyLength == 0) {
        std::fprintf(stderr, "peer-tcp-floor: REPLY_HEX \"%s\" is not 1 to 4096 bytes of hex\n", argv[3]);
        return 2;
    }
    if (replyLength < 0) {
        std::fprintf(stderr, "peer-tcp-floor: REPLY_HEX \"%s\" has a non-hex digit\n", argv[3]);
        return 2;
    }
    const std::string reply(reinterpret_cast<const char*>(replyBytes), static_cast<size_t>(replyLength));

    // A thousand listeners and their clients need more descriptors than the usual soft limit.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0)
        return fail("epoll_create1");
    std::vector<char> isListener;
    // Bytes of the request still being gathered, per connected descriptor.
    std::vector<long> pending;
    auto watch = [&](int fd, bool listener) {
        if (static_cast<size_t>(fd) >= isListener.size()) {
            isListener.resize(fd + 1, 0);
            pending.resize(fd + 1, 0);
        }
        isListener[fd] = listener;
        pending[fd] = 0;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
    };

    for (long i = 0; i < count; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            !watch(fd, true))
            return fail("listen on 127.0.0.1");
        std::printf("LISTEN tcp:127.0.0.1:%u\n", ntohs(address.sin_port));
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::string replies;
    char buffer[65536];
    epoll_event events[64];
    for (;;) {
        const int ready = epoll_wait(epoll, events, 64, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return fail("epoll_wait");
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (isListener[fd]) {
                const int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0)
                    continue;
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                if (!watch(client, false))
                    close(client);
                continue;
            }
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0) {
                // The client went away.
                epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                continue;
            }
            const long total = pending[fd] + got;
            replies.clear();
            for (long n = total / requestBytes; n > 0; --n)
                replies += reply;
            pending[fd] = total % requestBytes;
            // A blocked write would only happen to a client that stops reading: the bench never does.
            for (size_t sent = 0; sent < replies.size();) {
                const ssize_t n = write(fd, replies.data() + sent, replies.size() - sent);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                sent += static_cast<size_t>(n);
            }
        }
    }
}

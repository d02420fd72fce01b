#pragma once

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace httptest {

// A connection to 127.0.0.1:port; -1 when none was made.
inline int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One raw request to 127.0.0.1:port on a connection of its own; everything answered until the
// server closes it (send "Connection: close" for a short exchange).
inline std::string exchange(int port, const std::string& request)
{
    const int fd = connectTo(port);
    std::string answer;
    if (fd >= 0 && ::send(fd, request.data(), request.size(), 0) == ssize_t(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, std::size_t(n));
    }
    if (fd >= 0)
        ::close(fd);
    return answer;
}

} // namespace httptest

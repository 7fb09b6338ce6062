// The TCP connection to Quillon's operator link.
#include "connection.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int connect_timeout_ms = 5000;
constexpr int send_timeout_ms = 3000;
constexpr int close_timeout_ms = 500;

// Connects one resolved address without blocking longer than the time-out; returns 0 or an errno value.
int connect_address(int socket, const addrinfo* address)
{
    if (connect(socket, address->ai_addr, address->ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd waiting{socket, POLLOUT, 0};
    int ready;
    do
        ready = poll(&waiting, 1, connect_timeout_ms);
    while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return ETIMEDOUT;
    int failure = 0;
    socklen_t size = sizeof failure;
    if (ready < 0 || getsockopt(socket, SOL_SOCKET, SO_ERROR, &failure, &size) != 0)
        return errno;
    return failure;
}

} // namespace

std::string connection_name(const std::string& host, int port)
{
    return host + ":" + std::to_string(port);
}

int connection_open(const std::string& host, int port, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0) {
        *error = "cannot find host '" + host + "': " + gai_strerror(resolved);
        return -1;
    }
    int failure = 0;
    int socket = -1;
    for (addrinfo* address = found; address != nullptr && socket < 0; address = address->ai_next) {
        socket = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (socket < 0) {
            failure = errno;
            continue;
        }
        failure = connect_address(socket, address);
        if (failure != 0) {
            close(socket);
            socket = -1;
        }
    }
    freeaddrinfo(found);
    if (socket < 0) {
        *error = "cannot connect to " + connection_name(host, port) + ": " + std::strerror(failure);
        if (failure == ECONNREFUSED)
            *error += " (is quillon running there?)";
        return -1;
    }
    int one = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return socket;
}

int connection_open_or_say(const std::string& host, int port)
{
    std::string error;
    int socket = connection_open(host, port, &error);
    if (socket < 0)
        std::fprintf(stderr, "quillon-operator: %s\n", error.c_str());
    return socket;
}

void connection_close(int socket)
{
    if (socket < 0)
        return;
    shutdown(socket, SHUT_WR);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(close_timeout_ms);
    unsigned char buffer[4096];
    std::string ignored;
    while (std::chrono::steady_clock::now() < deadline) {
        if (connection_receive(socket, buffer, sizeof buffer, 20, &ignored) < 0)
            break;
    }
    close(socket);
}

int connection_send(int socket, const unsigned char* data, size_t length, std::string* error)
{
    size_t sent = 0;
    while (sent < length) {
        ssize_t count = send(socket, data + sent, length - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd waiting{socket, POLLOUT, 0};
            if (poll(&waiting, 1, send_timeout_ms) > 0)
                continue;
            *error = "the connection accepts no more data";
            return 1;
        }
        *error = count < 0 ? std::strerror(errno) : "nothing sent";
        return 1;
    }
    return 0;
}

long connection_receive(int socket, unsigned char* buffer, size_t capacity, int timeout_ms, std::string* error)
{
    pollfd waiting{socket, POLLIN, 0};
    int ready = poll(&waiting, 1, timeout_ms);
    if (ready < 0 && errno == EINTR)
        return 0;
    if (ready < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    if (ready == 0)
        return 0;
    ssize_t count = recv(socket, buffer, capacity, 0);
    if (count > 0)
        return count;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    *error = count == 0 ? "closed by the other end" : std::strerror(errno);
    return -1;
}

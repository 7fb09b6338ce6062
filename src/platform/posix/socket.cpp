// TCP sockets on POSIX for the operator link.
#include "platform/socket.h"

#include "platform/event_loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int socket_open()
{
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? -1 : s;
}

int socket_set_nonblocking(int socket)
{
    int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;
    return 0;
}

int socket_bind(int socket, const char* address, int port)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && address[0] != 0 && inet_pton(AF_INET, address, &local.sin_addr) != 1)
        return -2;
    int one = 1;
    if (setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        return -1;
    if (bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return -1;
    return 0;
}

int socket_set_nodelay(int socket)
{
    int one = 1;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : -1;
}

int socket_listen(int socket, int backlog)
{
    return listen(socket, backlog) == 0 ? 0 : -1;
}

int socket_accept(int socket, char* peer, size_t peer_size)
{
    if (peer != nullptr && peer_size > 0)
        peer[0] = 0;
    sockaddr_in address{};
    socklen_t size = sizeof address;
    int s = accept4(socket, reinterpret_cast<sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0)
        return -1;
    socket_set_nodelay(s);
    if (peer != nullptr && peer_size > 0) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
        std::snprintf(peer, peer_size, "%s", text);
    }
    return s;
}

int socket_recv(int socket, unsigned char* buffer, int size)
{
    ssize_t n = size > 0 ? ::recv(socket, buffer, static_cast<size_t>(size), MSG_DONTWAIT) : -1;
    // Re-armed after every attempt: the loop reports the next arrival (or the close) from now on.
    event_loop_socket_rearm(socket);
    return n < 0 ? -1 : static_cast<int>(n);
}

int socket_send(int socket, const unsigned char* data, int length)
{
    if (socket < 0 || length < 0)
        return -1;
    int sent = 0;
    while (sent < length) {
        ssize_t n = ::send(socket, data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return sent;
        return -1;
    }
    return sent;
}

void socket_close(int socket)
{
    if (socket < 0)
        return;
    event_loop_select_socket(socket, nullptr, 0, 0);
    ::close(socket);
}

std::vector<std::string> socket_local_addresses()
{
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr)
            addresses.emplace_back(text);
    }
    freeifaddrs(list);
    return addresses;
}

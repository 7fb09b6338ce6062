// TCP sockets on Winsock 2 for the operator link. Socket handles are passed as int, as on every
// platform; Winsock's handles are small kernel handles, and one that would not fit is refused.
#include "platform/socket.h"

#include "platform/event_loop.h"
#include "platform/win32/internal.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

bool winsock_started()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

// The handle as the link holds it, or -1 (the handle is closed) when it does not fit an int.
int socket_number(SOCKET s)
{
    if (s == INVALID_SOCKET)
        return -1;
    if (s > static_cast<SOCKET>(INT_MAX)) {
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

int result(int status)
{
    return status == 0 ? 0 : -1;
}

} // namespace

int socket_open()
{
    if (!winsock_started())
        return -1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET)
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);  // no child inherits it
    return socket_number(s);
}

int socket_set_nonblocking(int socket)
{
    u_long on = 1;
    return result(ioctlsocket(static_cast<SOCKET>(socket), FIONBIO, &on));
}

int socket_bind(int socket, const char* address, int port)
{
    // No option: what POSIX asks SO_REUSEADDR for (listen again at once while the last run's connections
    // linger) is Windows' default, and Windows' own SO_REUSEADDR would let a second server share the port.
    // SO_EXCLUSIVEADDRUSE is not wanted either: it refuses the port until those connections have ended.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address != nullptr && address[0] != 0 && inet_pton(AF_INET, address, &local.sin_addr) != 1)
        return -2;
    return result(bind(static_cast<SOCKET>(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local));
}

int socket_set_nodelay(int socket)
{
    BOOL on = TRUE;
    return result(setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                             sizeof on));
}

int socket_listen(int socket, int backlog)
{
    return result(listen(static_cast<SOCKET>(socket), backlog));
}

int socket_accept(int socket, char* peer, size_t peer_size)
{
    sockaddr_in address{};
    int size = sizeof address;
    int s = socket_number(accept(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&address), &size));
    if (s < 0)
        return -1;
    SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(s)), HANDLE_FLAG_INHERIT, 0);
    // An accepted socket inherits the listener's notifications, which make it non-blocking already.
    socket_set_nonblocking(s);
    socket_set_nodelay(s);
    if (peer != nullptr && peer_size > 0) {
        char text[INET_ADDRSTRLEN] = "";
        if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
            text[0] = 0;
        std::snprintf(peer, peer_size, "%s", text);
    }
    return s;
}

int socket_recv(int socket, unsigned char* buffer, int size)
{
    // Each recv re-enables Winsock's FD_READ notification by itself.
    int n = size > 0 ? recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer), size, 0) : -1;
    return n == SOCKET_ERROR ? -1 : n;
}

int socket_send(int socket, const unsigned char* data, int length)
{
    if (socket < 0 || length < 0)
        return -1;
    SOCKET s = static_cast<SOCKET>(socket);
    int sent = 0;
    while (sent < length) {
        int n = send(s, reinterpret_cast<const char*>(data) + sent, length - sent, 0);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
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
    closesocket(static_cast<SOCKET>(socket));
}

// The addresses the PC's own name resolves to: no extra library, and the ones Windows would announce.
std::vector<std::string> socket_local_addresses()
{
    std::vector<std::string> addresses;
    char name[256] = {};
    if (!winsock_started() || gethostname(name, sizeof name - 1) != 0)
        return addresses;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0)
        return addresses;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr || std::strncmp(text, "127.", 4) == 0)
            continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    freeaddrinfo(found);
    return addresses;
}

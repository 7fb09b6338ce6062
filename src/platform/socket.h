// TCP sockets on IPv4 for the operator link: non-blocking listen, accept, receive and send, with -1 as
// the one failure result, as the link expects.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Text of a dotted IPv4 address with its terminator.
constexpr size_t socket_address_size = 16;

// A TCP socket, or -1.
int socket_open();
// 0, or -1 on failure.
int socket_set_nonblocking(int socket);
// Binds to the port on one local IPv4 address in dotted form ("127.0.0.1"), or on every interface when
// the address is null or empty; SO_REUSEADDR first, so a restarted server can listen at once. 0; -1 when
// the bind fails; -2 when the address is not a dotted IPv4 address (nothing is bound).
int socket_bind(int socket, const char* address, int port);
// TCP_NODELAY: small messages go out without waiting.
int socket_set_nodelay(int socket);
int socket_listen(int socket, int backlog);
// Accepts one waiting connection: the new socket is non-blocking with TCP_NODELAY, and `peer` (at least
// socket_address_size bytes) receives the peer's dotted address. -1 when nothing could be accepted.
int socket_accept(int socket, char* peer, size_t peer_size);
// Receives at most `size` bytes: their count, 0 when the peer has closed, -1 on an error or when nothing
// is waiting. The socket's read event is reported again from then on.
int socket_recv(int socket, unsigned char* buffer, int size);
// Sends as much of the buffer as fits now, without waiting and without raising SIGPIPE: the count of
// bytes that went (0 when there is no room), or -1 on an error. The caller keeps what did not go.
int socket_send(int socket, const unsigned char* data, int length);
// Stops the event loop watching the socket and closes it; -1 is ignored.
void socket_close(int socket);

// The PC's own IPv4 addresses in dotted form, those of interfaces that are up, loopback left out: what
// another machine on the robot's network can reach it by. Empty when the system tells none.
std::vector<std::string> socket_local_addresses();

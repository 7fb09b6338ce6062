// What each socket backend supplies beneath the send policy that socket.cpp keeps for all of them.
#pragma once

// One non-blocking send: the count of bytes that went (at least 1), 0 when there is no room now, -1 on an
// error (the peer gone, a reset).
int socket_backend_send(int socket, const unsigned char* data, int length);
// Waits up to the seconds for room to send; true when there is.
bool socket_backend_wait_writable(int socket, double seconds);

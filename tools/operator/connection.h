// The TCP connection to Quillon's operator link: connecting by name, sending whole messages and
// receiving with a time limit. Every failure comes back as a sentence for the person at the terminal.
#pragma once

#include <cstddef>
#include <string>

// Resolves host (IPv4) and connects within a few seconds; returns a non-blocking socket with
// TCP_NODELAY set, or -1 with the reason in error.
int connection_open(const std::string& host, int port, std::string* error);
// The same, with the reason printed on standard error for the person at the terminal.
int connection_open_or_say(const std::string& host, int port);
// Closes in good order: no more sending, what the server still sends is read and dropped until it
// closes its end (or a short while passes), so the server sees a plain end of stream, not a reset.
void connection_close(int socket);

// Sends all bytes; returns 0, or 1 with the reason in error.
int connection_send(int socket, const unsigned char* data, size_t length, std::string* error);

// Waits up to timeout_ms for bytes and reads what has arrived, at most capacity. Returns the count,
// 0 when nothing came in time, or -1 when the connection closed or failed (reason in error).
long connection_receive(int socket, unsigned char* buffer, size_t capacity, int timeout_ms, std::string* error);

// "host:port" for messages.
std::string connection_name(const std::string& host, int port);

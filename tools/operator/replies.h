// Waiting for telemetry replies one at a time, for the modes that send a message and wait for its answer.
#pragma once

#include "protocol.h"

#include <deque>
#include <functional>
#include <string>

struct replies_type {
    protocol_reader_type reader;
    std::deque<telemetry_message_type> ready;  // complete replies not yet taken
};

// How long a reply may take before the client gives up on it.
constexpr int replies_timeout_ms = 3000;

// Takes the next telemetry reply, waiting up to replies_timeout_ms for it. Returns 0, or 1 with the
// reason in error (the connection closed, or no reply came in time).
int replies_wait(replies_type* replies, int socket, telemetry_message_type* reply, std::string* error);

// Reads into the replies (and the reader's images) until done() holds. Returns 0; 1 with the reason in
// error when the connection is lost; 2 when timeout_ms passes first.
int replies_read_until(replies_type* replies, int socket, int timeout_ms, const std::function<bool()>& done,
                       std::string* error);

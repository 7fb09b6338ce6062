// The rate a browser may send messages at: one that sends more is closed, so that a flood costs the
// console one connection rather than the window thread's time.
#pragma once

#include <chrono>

constexpr int web_message_rate_limit = 100;  // messages a browser may send in one second

// A browser closed for flooding; from any thread. True when a log line is due (the first, then at most one
// a second), with the closes it covers in closed.
bool web_drive_limit_note_close(std::chrono::steady_clock::time_point now, long* closed);

class web_drive_limit_class {
public:
    // Counts one message; false once more than web_message_rate_limit came within the current second.
    bool take(std::chrono::steady_clock::time_point now);

private:
    std::chrono::steady_clock::time_point window_start{};
    int count = 0;
};

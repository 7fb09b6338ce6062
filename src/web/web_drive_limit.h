// The rate a browser may send messages at: one that sends more is closed, so that a flood costs the
// console one connection rather than the window thread's time.
#pragma once

#include <chrono>

constexpr int web_message_rate_limit = 100;  // messages a browser may send in one second

class web_drive_limit_class {
public:
    // Counts one message; false once more than web_message_rate_limit came within the current second.
    bool take(std::chrono::steady_clock::time_point now);

private:
    std::chrono::steady_clock::time_point window_start{};
    int count = 0;
};

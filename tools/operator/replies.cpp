// Waiting for telemetry replies one at a time.
#include "replies.h"

#include "connection.h"

#include <chrono>
#include <functional>
#include <vector>

int replies_read_until(replies_type* replies, int socket, int timeout_ms, const std::function<bool()>& done,
                       std::string* error)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return 2;
        unsigned char buffer[65536];
        std::string failure;
        long count = connection_receive(socket, buffer, sizeof buffer, static_cast<int>(left.count()), &failure);
        if (count < 0) {
            *error = "connection lost: " + failure;
            return 1;
        }
        std::vector<telemetry_message_type> arrived;
        protocol_read(&replies->reader, buffer, static_cast<size_t>(count), &arrived);
        replies->ready.insert(replies->ready.end(), arrived.begin(), arrived.end());
    }
    return 0;
}

int replies_wait(replies_type* replies, int socket, telemetry_message_type* reply, std::string* error)
{
    auto taken = [&] { return !replies->ready.empty(); };
    int result = replies_read_until(replies, socket, replies_timeout_ms, taken, error);
    if (result == 2)
        *error = "no telemetry reply within " + std::to_string(replies_timeout_ms / 1000) + " seconds";
    if (result != 0)
        return 1;
    *reply = replies->ready.front();
    replies->ready.pop_front();
    return 0;
}

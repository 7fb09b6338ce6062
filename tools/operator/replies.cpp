// Waiting for telemetry replies one at a time.
#include "replies.h"

#include "connection.h"

#include <chrono>
#include <vector>

int replies_wait(replies_type* replies, int socket, telemetry_message_type* reply, std::string* error)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(replies_timeout_ms);
    while (replies->ready.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = "no telemetry reply within " + std::to_string(replies_timeout_ms / 1000) + " seconds";
            return 1;
        }
        unsigned char buffer[4096];
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
    *reply = replies->ready.front();
    replies->ready.pop_front();
    return 0;
}

// A fixed one-second window per browser: cheap, and a page's 20 Hz repeats stay far below the limit.
#include "web/web_drive_limit.h"

#include <mutex>

namespace {

std::mutex close_lock;  // guards the two below
std::chrono::steady_clock::time_point close_logged{};
long closes_unlogged = 0;

} // namespace

bool web_drive_limit_note_close(std::chrono::steady_clock::time_point now, long* closed)
{
    // A flooder that reconnects at once must not turn each close into a log line either.
    std::lock_guard<std::mutex> hold(close_lock);
    closes_unlogged++;
    if (close_logged != std::chrono::steady_clock::time_point{} && now - close_logged < std::chrono::seconds(1))
        return false;
    *closed = closes_unlogged;
    closes_unlogged = 0;
    close_logged = now;
    return true;
}

bool web_drive_limit_class::take(std::chrono::steady_clock::time_point now)
{
    if (count == 0 || now - window_start >= std::chrono::seconds(1)) {
        window_start = now;
        count = 0;
    }
    return ++count <= web_message_rate_limit;
}

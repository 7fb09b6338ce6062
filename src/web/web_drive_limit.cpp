// A fixed one-second window per browser: cheap, and a page's 20 Hz repeats stay far below the limit.
#include "web/web_drive_limit.h"

#include <mutex>

namespace {

// The closes of flooding browsers, said at most once a second.
struct close_report_type {
    std::mutex lock;  // guards the two below
    std::chrono::steady_clock::time_point logged{};
    long unlogged = 0;
};

close_report_type close_report;


} // namespace

bool web_drive_limit_note_close(std::chrono::steady_clock::time_point now, long* closed)
{
    // A flooder that reconnects at once must not turn each close into a log line either.
    std::lock_guard<std::mutex> hold(close_report.lock);
    close_report.unlogged++;
    if (close_report.logged != std::chrono::steady_clock::time_point{} && now - close_report.logged < std::chrono::seconds(1))
        return false;
    *closed = close_report.unlogged;
    close_report.unlogged = 0;
    close_report.logged = now;
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

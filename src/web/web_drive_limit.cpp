// A fixed one-second window per browser: cheap, and a page's 20 Hz repeats stay far below the limit.
#include "web/web_drive_limit.h"

bool web_drive_limit_class::take(std::chrono::steady_clock::time_point now)
{
    if (count == 0 || now - window_start >= std::chrono::seconds(1)) {
        window_start = now;
        count = 0;
    }
    return ++count <= web_message_rate_limit;
}

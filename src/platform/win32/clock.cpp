// The monotonic clock on Windows: the performance counter, whose frequency is fixed at boot.
#include "platform/clock.h"

#include "platform/win32/compat.h"

#include <cstdint>

namespace {

int64_t counter_frequency()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart > 0 ? f.QuadPart : 1;
    }();
    return frequency;
}

} // namespace

double clock_seconds()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    int64_t frequency = counter_frequency();
    // Whole seconds and the remainder apart, in integers: a counter times a billion would overflow
    // after a few days of uptime at a 10 MHz frequency.
    int64_t seconds = now.QuadPart / frequency;
    int64_t nanoseconds = (now.QuadPart % frequency) * 1000000000 / frequency;
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) * 1e-9;
}

void clock_sleep_ms(unsigned int milliseconds)
{
    Sleep(milliseconds);
}

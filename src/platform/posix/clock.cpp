// The monotonic clock on POSIX: CLOCK_MONOTONIC never jumps with the wall clock.
#include "platform/clock.h"

#include <time.h>

double clock_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void clock_sleep_ms(unsigned int milliseconds)
{
    timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

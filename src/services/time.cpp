// The application's clock over the platform's monotonic counter.
#include "services/time.h"

#include "platform/clock.h"

void time_start()
{
    // The monotonic counter needs no preparation.
}

double get_time()
{
    return clock_seconds();
}

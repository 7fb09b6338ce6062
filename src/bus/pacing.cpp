// The controller's send times, kept apart from the thread and the clock so that tests choose the times.
#include "bus/pacing.h"

#include <algorithm>

double pacing_due(const pacing_type& pacing)
{
    if (!pacing.started)
        return 0.0;
    if (!pacing.pending)
        return pacing.next_cycle;
    if (pacing.stopping)
        return pacing.last_sent;
    return std::min(pacing.next_cycle, pacing.last_sent + pacing_min_gap);
}

void pacing_changed(pacing_type& pacing, bool neutral)
{
    pacing.pending = true;
    pacing.stopping = neutral;
}

void pacing_sent(pacing_type& pacing, double now)
{
    // An extra command leaves the cycle where it was; a steady one starts the next period from now, as the
    // exchange without commands on change does.
    if (!pacing.started || now >= pacing.next_cycle)
        pacing.next_cycle = now + pacing_cycle;
    pacing.started = true;
    pacing.last_sent = now;
    pacing.pending = false;
    pacing.stopping = false;
}

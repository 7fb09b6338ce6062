// The takeover rule.
#include "fleet/fleet_takeover.h"

void fleet_takeover_connected(fleet_takeover_type& watch, double now)
{
    watch.connected_at = now;
}

bool fleet_takeover_dropped(fleet_takeover_type& watch, int reason, double now)
{
    bool stood = watch.connected_at >= 0.0;
    bool quick = stood && now - watch.connected_at < fleet_quick_drop;
    watch.connected_at = -1.0;
    if (!stood)
        return false;  // a connection attempt that failed says nothing of the id
    watch.quick = quick ? watch.quick + 1 : 0;
    bool taken = reason == fleet_taken_over_reason || watch.quick >= fleet_quick_drops;
    if (!taken || now - watch.warned_at < fleet_takeover_repeat)
        return false;
    watch.warned_at = now;
    watch.quick = 0;
    return true;
}

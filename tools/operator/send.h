// Sending one scripted message and printing the telemetry replies it earns, one line of hex each.
#pragma once

#include "options.h"

// Returns 0 when every expected reply came, 1 when the connection failed or a reply did not come.
int send_run(const options_type& options);

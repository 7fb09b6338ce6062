// Driving from the terminal: keys set the targets, a control message goes out at a steady rate, and
// every telemetry reply and its round-trip time show on one live status line.
#pragma once

#include "options.h"

// Runs until Q, Esc, Ctrl-C or a signal (exit status 0, or 128 + the signal), or until the
// connection fails (1, with the reason on standard error).
int drive_run(const options_type& options);

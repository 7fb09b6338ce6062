// The log file, written from every thread, and the debug console.
#pragma once

#include "platform/format.h"

#define QUILLON_PRINTF(a, b) PLATFORM_PRINTF(a, b)

// Appends one timestamped line to the log; never fails, writes nothing after log_stop. Lines are whole
// and in order whichever threads write them. Before log_start they wait in memory.
void log_write(const char* format, ...) QUILLON_PRINTF(1, 2);
// Begins the run's log file (a new one, replacing any of an earlier run) with the lines logged so far,
// and its writer thread: from then on lines reach the file in batches, at most about 100 ms after they
// were logged. Called once the program knows it will run, so --help leaves an old log alone.
void log_start(const char* filename);
// Returns once every line logged so far is in the file.
void log_flush();
// Writes the waiting lines and closes the file.
void log_stop();
// Closes the log and starts a fresh one at the given path with a new zero time and the default size
// limit; each line is written at once (tests use it).
void log_restart(const char* filename);
// When the file would pass this many bytes it is renamed with ".1" before its extension (log.1.txt,
// replacing an older one) and a new file goes on, its first line saying so. 0 for no limit; at least 4 KB.
void log_set_size_limit(long long bytes);

// Writes the text to standard error (the debug console here) and logs it.
void console(const char* format, ...) QUILLON_PRINTF(1, 2);

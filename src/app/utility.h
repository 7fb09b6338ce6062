// Small services every unit uses: the log file, the debug console, hex dumps, byte records and the
// serial checksum.
#pragma once

#include "platform/format.h"

#define QUILLON_PRINTF(a, b) PLATFORM_PRINTF(a, b)

// Appends one timestamped line to the log; never fails, writes nothing after log_stop. Lines are whole
// and in order whichever threads write them. Before log_start they wait in memory.
void log(const char* format, ...) QUILLON_PRINTF(1, 2);
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

// One line "name: (length) xx xx ...": to the message lines and the log, or to the log only.
void show_buffer(const char* name, const unsigned char* data, int length, bool to_screen);

// Stores value at buffer[index] and advances index; the caller sizes the buffer.
void append_byte(unsigned char* buffer, unsigned int& index, unsigned char value);

// Sum of the bytes modulo 256.
unsigned int get_checksum(const unsigned char* data, unsigned int length);

constexpr unsigned int config_token_limit = 1024;  // characters in a configuration line, and in a token
// Copies the next space- or tab-separated token of the line, read no further than config_token_limit, into
// token (at least config_token_limit + 1 bytes).
void get_next_string(const char* line, unsigned int& position, char* token);

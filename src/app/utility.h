// Small services every unit uses: the log file, the debug console, hex dumps, byte records and the
// serial checksum.
#pragma once

#include "platform/format.h"

#define QUILLON_PRINTF(a, b) PLATFORM_PRINTF(a, b)

// Appends one timestamped line to log.txt and flushes it; never fails, writes nothing after log_stop.
void log(const char* format, ...) QUILLON_PRINTF(1, 2);
void log_stop();
// Closes the log and starts a fresh one at the given path with a new zero time (tests use it).
void log_restart(const char* filename);

// Writes the text to standard error (the debug console here) and logs it.
void console(const char* format, ...) QUILLON_PRINTF(1, 2);

// One line "name: (length) xx xx ...": to the message lines and the log, or to the log only.
void show_buffer(const char* name, const unsigned char* data, int length, bool to_screen);

// Stores value at buffer[index] and advances index; the caller sizes the buffer.
void append_byte(unsigned char* buffer, unsigned int& index, unsigned char value);

// Sum of the bytes modulo 256.
unsigned int get_checksum(const unsigned char* data, unsigned int length);

// Small services every unit uses: hex dumps, byte records, the serial checksum and the configuration's
// tokens.
#pragma once

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

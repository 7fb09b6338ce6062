// Driving the terminal: raw key input that is put back on every way out, signals turned into
// something the main loop can wait for, and the one live status line.
#pragma once

#include <string>
#include <vector>

// Puts standard input into raw mode (no echo, no line editing, Ctrl-C as a key) and arranges for the
// saved mode to come back at exit and on SIGINT, SIGTERM, SIGHUP and SIGQUIT. Returns 0, or 1 with
// the reason in error (standard input is not a terminal, say).
int terminal_start(std::string* error);
// Puts the saved mode back; safe to call more than once.
void terminal_restore();

// A descriptor that becomes readable when one of the signals above arrives.
int terminal_signal_descriptor();
// The signal that arrived, or 0.
int terminal_signal();

// Reads the keys that have arrived on standard input. Escape sequences (arrow keys and the like) are
// dropped; a lone Esc comes out as 0x1B. Returns false at the end of input.
bool terminal_read_keys(std::vector<int>* keys);

// Replaces the status line with text.
void terminal_status(const std::string& text);
// Ends the status line so that what follows starts on a fresh line.
void terminal_end_status();

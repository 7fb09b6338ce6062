// The message lines: the last twelve lines every unit adds for the person at the robot, shown by the
// status display and the web console, and each written to the log too.
#pragma once

#include "platform/format.h"

#include <string>
#include <vector>

constexpr int text_line_count = 12;   // message lines shown
constexpr int text_line_size = 200;   // bytes per slot: at most 199 characters and the terminator

// Formats a line, stores it as the newest message line and logs it.
void add_line(const char* format, ...) PLATFORM_PRINTF(1, 2);
// Stores the text as the newest line (cut to 199 characters), without logging it.
void do_add_line(const char* text);
// Copies the message lines shown, oldest first, into lines; returns how many there are (0 to 12).
int message_lines_copy(char (*lines)[text_line_size], int capacity);
// The lines shown, oldest first.
std::vector<std::string> message_lines_shown();
// No line shown, as at start-up (tests).
void message_lines_clear();

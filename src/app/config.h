// The configuration file config.txt: the serial port's name and the camera number, read once at start-up.
#pragma once

void load_config(const char* filename);
void parse_line(const char* line);
// Copies the next space- or tab-separated token of the line into token (at least 1,025 bytes).
void get_next_string(const char* line, unsigned int& position, char* token);

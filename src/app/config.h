// The configuration file config.txt, read once at start-up: the serial port's name, the camera number,
// the log's size limit and camera dumps, and the operator link's address.
#pragma once

void load_config(const char* filename);
void parse_line(const char* line);
// Copies the next space- or tab-separated token of the line into token (at least 1,025 bytes).
void get_next_string(const char* line, unsigned int& position, char* token);

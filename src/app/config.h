// The configuration file config.txt, read once at start-up: the serial port's name, the camera number,
// the log's size limit and camera dumps, and the operator link's address.
#pragma once



void load_config(const char* filename);
void parse_line(const char* line);

// The serial camera half of the simulated robot (device 8): it renders the robot's view as a 160 x 120
// colour JPEG and sends it as a size message (05 HI LO) and data messages (06 and at most 250 bytes),
// a piece at a time while the line is not busy, so the board's telemetry keeps its pace. On demand it
// sends a camera message (07 CODE) or a corrupt, truncated or over-long image. The main loop calls it
// every turn; it takes its own command-line options, control lines and faults.
#pragma once

#include "sim_device.h"

#include <string>
#include <vector>

// Takes the option at argv[index]; returns how many arguments it used (0: not a camera option, -1: a camera
// option with a bad value, the message already printed).
int sim_camera_option(int argc, char** argv, int index);
// The camera's lines for --help (empty when it adds none).
const char* sim_camera_help();
// True for the names of the camera's own faults.
bool sim_camera_knows_fault(const std::string& name);
// A fault name (from --fault or a control line) the board does not know; true when the camera took it.
bool sim_camera_fault(const std::string& name, const std::string& argument, const sim_turn_type& turn);
// A control line the board does not know; true when the camera took it.
bool sim_camera_control(const std::string& line, const sim_turn_type& turn);
// One turn of the main loop.
void sim_camera_turn(const sim_turn_type& turn);

// The robot's view as a JPEG of the given quality, turned through 180 degrees (the camera is mounted
// upside down).
std::vector<unsigned char> sim_camera_picture(const sim_world_type& world, int quality);

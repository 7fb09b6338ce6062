// The simulated controller board (device 1): it takes the motor bytes of each command packet, drives the
// wheels from them, and reports the two range sensors as controller telemetry.
#pragma once

#include "sim_world.h"

#include <cstddef>

struct sim_board_type {
    unsigned char left_byte = 0x80;   // the last motor bytes: left forward below 0x80, right forward above
    unsigned char right_byte = 0x80;
    double last_command = -1.0;       // time of the last command, seconds; negative before the first
    unsigned long commands = 0;       // command packets taken
    unsigned long refused = 0;        // device-1 packets of the wrong length
    double telemetry_rate = 10.0;     // packets a second; 0 sends none
    double next_telemetry = 0.0;      // when the next one is due
};

constexpr unsigned char sim_board_device = 1;
constexpr size_t sim_board_command_length = 8;
constexpr size_t sim_board_telemetry_length = 3;
constexpr double sim_board_top_speed = 0.6;   // metres a second at a motor byte 127 steps from 0x80
constexpr double sim_board_watchdog = 1.0;    // seconds without a command before the board stops its motors

// Takes one device-1 payload; false (and counted as refused) when it is not an 8-byte command.
bool sim_board_command(sim_board_type& board, const unsigned char* payload, size_t length, double now);
// Sets the wheel speeds from the motor bytes, or stops them when the commands have ceased.
void sim_board_drive(const sim_board_type& board, sim_world_type& world, double now);
// The 3-byte controller telemetry for the world as it is: two 12-bit channels, left and right sensor.
void sim_board_telemetry(const sim_world_type& world, unsigned char* payload);
// True when a telemetry packet is due now; moves the schedule on.
bool sim_board_telemetry_due(sim_board_type& board, double now);

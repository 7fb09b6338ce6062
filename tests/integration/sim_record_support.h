// Reading quillon-sim's --record file: the command packets the simulated board received, with their motor
// bytes.
#pragma once

#include <string>
#include <vector>

namespace integration {

// One command packet the board received: device 1, 8 payload bytes, checksum.
struct board_command_type {
    double time = 0.0;  // seconds since the sim started
    std::vector<unsigned char> bytes;
    unsigned char left() const { return bytes[2]; }   // forward below 0x80
    unsigned char right() const { return bytes[4]; }  // forward above 0x80
    bool neutral() const { return bytes[2] == 0x80 && bytes[3] == 0x80 && bytes[4] == 0x80 && bytes[5] == 0x80; }
    bool forward() const { return bytes[2] < 0x80 && bytes[4] > 0x80; }
    std::string text() const;  // the bytes in hex, as the record shows them
};

// The command packets of the record in the order received; event lines and other packets are left out.
std::vector<board_command_type> read_board_commands(const std::string& record_path);
// The median time between two commands in a row, in seconds; 0 for fewer than two commands.
double median_command_interval(const std::vector<board_command_type>& commands);

} // namespace integration

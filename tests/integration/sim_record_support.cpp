// Reading quillon-sim's --record file.
#include "sim_record_support.h"

#include "integration_support.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace integration {

std::string board_command_type::text() const
{
    std::string hex;
    char byte[4];
    for (unsigned char b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X ", b);
        hex += byte;
    }
    if (!hex.empty())
        hex.pop_back();
    return hex;
}

std::vector<board_command_type> read_board_commands(const std::string& record_path)
{
    std::vector<board_command_type> commands;
    for (const std::string& line : read_lines(record_path)) {
        if (line.rfind("#", 0) == 0)
            continue;
        std::istringstream words(line);
        board_command_type command;
        if (!(words >> command.time))
            continue;
        for (unsigned int value; words >> std::hex >> value;)
            command.bytes.push_back(static_cast<unsigned char>(value));
        if (command.bytes.size() == 11 && command.bytes[0] == 0x01 && command.bytes[1] == 0x08)
            commands.push_back(command);
    }
    return commands;
}

double median_command_interval(const std::vector<board_command_type>& commands)
{
    std::vector<double> intervals;
    for (size_t i = 1; i < commands.size(); i++)
        intervals.push_back(commands[i].time - commands[i - 1].time);
    if (intervals.empty())
        return 0.0;
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    return intervals[intervals.size() / 2];
}

} // namespace integration

// Control channels of the simulated robot: line-by-line commands from standard input and from a FIFO,
// so a person or a test can inject faults and move the robot while it runs.
#pragma once

#include <string>
#include <vector>

struct sim_control_type {
    int fd = -1;               // read end, or -1 when the channel is closed
    int keep_open = -1;        // our own write end of a FIFO, so writers can come and go without an end
    bool ends_sim = false;     // the end of input ends the sim (a pipe or terminal on stdin)
    bool made_fifo = false;    // we made the FIFO and remove it at the end
    std::string path;          // the FIFO's path
    std::string partial;       // a line not yet complete
};

// Standard input as a control channel; closed at once when the sim is in the background of a terminal.
void sim_control_open_stdin(sim_control_type& control);
// A FIFO at path, made when nothing exists there; false with an error text on failure.
bool sim_control_open_fifo(sim_control_type& control, const std::string& path, std::string& error);
void sim_control_close(sim_control_type& control);
// Reads what is waiting and appends each complete line; false when the input has ended (the channel is
// then closed).
bool sim_control_read(sim_control_type& control, std::vector<std::string>& lines);

// The simulated robot's command-line options and its --help text.
#pragma once

#include "sim_faults.h"

#include <string>
#include <vector>

struct sim_options_type {
    std::string write_config;            // folder in which to write a ready config.txt, or empty
    bool baud_pace = false;              // pace output at 57,600 baud
    double rate = 10.0;                  // telemetry packets a second; 0 sends none
    std::string record;                  // record file, or empty
    std::vector<sim_fault_type> faults;  // faults to inject at their times
    std::string control;                 // a control FIFO to read besides stdin, or empty
    bool use_stdin = true;               // read control lines from stdin
    bool pose_set = false;               // start pose given
    double x = 0, y = 0, heading = 0;    // start pose: metres and degrees
    double duration = 0.0;               // end after this many seconds; 0 runs until told to end
    bool quiet = false;                  // no hints or summary on stderr
};

// Returns 0 to run, 1 when --help was shown (exit 0), 2 for a bad command line (exit 2, message printed).
int sim_options_parse(int argc, char** argv, sim_options_type& options);

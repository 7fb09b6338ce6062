// Faults the simulated robot puts on the line on demand: bad checksums, garbage, bad length bytes, short
// payloads, text lines and packets for devices that do not exist.
#pragma once

#include "sim_link.h"

#include <string>

struct sim_fault_type {
    std::string name;      // for example "bad-checksum"
    std::string argument;  // after a ':' on the command line, or the rest of a control line
    double at = 0.0;       // seconds after the start (command line only)
};

// Parses NAME[:ARGUMENT][@SECONDS]; the name is not checked here (the camera has faults of its own).
bool sim_fault_parse(const std::string& text, sim_fault_type& fault, std::string& error);
bool sim_fault_known(const std::string& name);
// Queues the fault's bytes. telemetry is the board's current 3-byte payload, which some faults carry.
bool sim_fault_inject(sim_link_type& link, const sim_fault_type& fault, const unsigned char* telemetry,
                      std::string& error);
const char* sim_fault_help();

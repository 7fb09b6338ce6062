// The command line of quillon-operator: where to connect, how fast to drive, and which mode to run.
#pragma once

#include <string>
#include <vector>

enum class operator_mode { drive, send, bench, snapshot, help };

struct options_type {
    std::string host = "localhost";
    int port = 32459;
    double rate = 10.0;                  // control messages per second while driving
    operator_mode mode = operator_mode::drive;
    std::vector<unsigned char> message;  // --send: the bytes to send as they are
    long bench_count = 0;                // --bench: round trips to measure
    std::string snapshot_file;           // --snapshot: where the JPEG goes
};

// Fills options from the arguments; returns 0, or 1 with a one-line reason in error.
int options_parse(int argc, char** argv, options_type* options, std::string* error);
const char* options_usage();

// quillon-operator: a small client for Quillon's operator link. Drives the robot from a terminal,
// sends one scripted message, measures round trips, or saves one camera image.
#include "bench.h"
#include "drive.h"
#include "options.h"
#include "send.h"
#include "snapshot.h"

#include <cstdio>

int main(int argc, char** argv)
{
    options_type options;
    std::string error;
    if (options_parse(argc, argv, &options, &error) != 0) {
        std::fprintf(stderr, "quillon-operator: %s\nTry 'quillon-operator --help' for more.\n", error.c_str());
        return 2;
    }
    switch (options.mode) {
    case operator_mode::help:
        std::fputs(options_usage(), stdout);
        return 0;
    case operator_mode::send:
        return send_run(options);
    case operator_mode::bench:
        return bench_run(options);
    case operator_mode::snapshot:
        return snapshot_run(options);
    case operator_mode::drive:
        break;
    }
    return drive_run(options);
}

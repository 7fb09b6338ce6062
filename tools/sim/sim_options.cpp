// Parsing the command line.
#include "sim_options.h"

#include "sim_camera.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* usage_text =
    "usage: quillon-sim [options]\n"
    "Plays the robot's electronics on a pseudo-terminal: a controller board (device 1) that drives a\n"
    "simulated differential-drive robot in a 4 x 3 m walled room from the motor bytes it receives, and\n"
    "reports two range sensors as controller telemetry. Prints 'serial_port pts/N' for config.txt.\n"
    "\n"
    "options:\n"
    "  --write-config DIR      write DIR/config.txt naming the port\n"
    "  --baud-pace             pace output bytes at 57,600 baud (about 174 us a byte)\n"
    "  --rate HZ               telemetry packets a second (default 10; 0 sends none)\n"
    "  --record FILE           one line per received packet, flushed at once:\n"
    "                          '12.345678 01 08 80 80 80 80 00 00 00 00 09' (seconds, then the bytes);\n"
    "                          events such as injected faults as '# 12.345678 text'\n"
    "  --fault NAME[:ARG][@S]  inject a fault S seconds after the start (default 0); repeatable\n"
    "  --control PATH          also read control lines from PATH (a FIFO is made there if nothing is)\n"
    "  --no-stdin              do not read control lines from standard input\n"
    "  --pose X,Y,DEG          start pose in metres and degrees (default 1,1.5,0)\n"
    "  --duration S            end after S seconds\n"
    "  --quiet                 no hints or summary on standard error\n"
    "  --help                  this text\n"
    "\n"
    "control lines (standard input and the --control FIFO):\n"
    "  fault NAME [ARG]        inject a fault now\n"
    "  pose X Y DEG            put the robot there\n"
    "  telemetry on|off        start or stop the telemetry\n"
    "  rate HZ                 change the telemetry rate\n"
    "  status                  print the state on standard output\n"
    "  hangup                  close the port as if the cable were pulled; the sim runs on\n"
    "  quit                    end the sim\n"
    "The sim ends on SIGINT or SIGTERM, on 'quit', after --duration, and at the end of standard input\n"
    "when that is a pipe or a terminal (not when it is /dev/null or a file).\n"
    "\n"
    "The board: left motor byte (payload bytes 0, 1) runs forward below 0x80, right motor byte (bytes 2, 3)\n"
    "forward above 0x80, 0x80 stands still; with no command for 1 s it stops the motors. Telemetry channel 0\n"
    "is the sensor 30 degrees left of the heading, channel 1 the one 30 degrees right: 0 at 1.5 m and beyond,\n"
    "rising to 4095 at the wall.\n";

bool number(const char* text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == 0;
}

bool parse_pose(const char* text, sim_options_type& options)
{
    char* end = nullptr;
    options.x = std::strtod(text, &end);
    if (*end != ',')
        return false;
    options.y = std::strtod(end + 1, &end);
    if (*end != ',')
        return false;
    const char* heading = end + 1;
    options.heading = std::strtod(heading, &end);
    options.pose_set = true;
    return end != heading && *end == 0;
}

// Takes one option that has a value; returns false when the value is bad.
bool take_value(const char* option, const char* value, sim_options_type& options)
{
    if (std::strcmp(option, "--write-config") == 0) {
        options.write_config = value;
    } else if (std::strcmp(option, "--rate") == 0) {
        return number(value, options.rate) && options.rate >= 0 && options.rate <= 1000;
    } else if (std::strcmp(option, "--record") == 0) {
        options.record = value;
    } else if (std::strcmp(option, "--fault") == 0) {
        sim_fault_type fault;
        std::string error;
        if (sim_fault_parse(value, fault, error) && !sim_fault_known(fault.name) &&
            !sim_camera_knows_fault(fault.name))
            error = "unknown fault '" + fault.name + "'";
        if (!error.empty()) {
            std::fprintf(stderr, "quillon-sim: %s\n", error.c_str());
            return false;
        }
        options.faults.push_back(fault);
    } else if (std::strcmp(option, "--control") == 0) {
        options.control = value;
    } else if (std::strcmp(option, "--pose") == 0) {
        return parse_pose(value, options);
    } else if (std::strcmp(option, "--duration") == 0) {
        return number(value, options.duration) && options.duration >= 0;
    }
    return true;
}

bool has_value(const char* option)
{
    const char* with_value[] = {"--write-config", "--rate", "--record", "--fault", "--control", "--pose", "--duration"};
    for (const char* name : with_value)
        if (std::strcmp(option, name) == 0)
            return true;
    return false;
}

} // namespace

int sim_options_parse(int argc, char** argv, sim_options_type& options)
{
    for (int i = 1; i < argc; i++) {
        const char* option = argv[i];
        if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
            std::fputs(usage_text, stdout);
            std::fputs(sim_camera_help(), stdout);
            std::fputs(sim_fault_help(), stdout);
            return 1;
        } else if (std::strcmp(option, "--baud-pace") == 0) {
            options.baud_pace = true;
        } else if (std::strcmp(option, "--no-stdin") == 0) {
            options.use_stdin = false;
        } else if (std::strcmp(option, "--quiet") == 0) {
            options.quiet = true;
        } else if (has_value(option)) {
            if (i + 1 >= argc || !take_value(option, argv[i + 1], options)) {
                std::fprintf(stderr, "quillon-sim: bad or missing value for %s\n", option);
                return 2;
            }
            i++;
        } else {
            int used = sim_camera_option(argc, argv, i);
            if (used <= 0) {
                if (used == 0)
                    std::fprintf(stderr, "quillon-sim: unknown option '%s' (try --help)\n", option);
                return 2;
            }
            i += used - 1;
        }
    }
    return 0;
}

// Reading the command line of quillon-operator.
#include "options.h"

#include "protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Rates below this would let the link's one-second silence rule stop the robot between two messages.
constexpr double lowest_rate = 2.0;
constexpr double highest_rate = 1000.0;
constexpr long most_round_trips = 10000000;

int refuse(std::string* error, const std::string& reason)
{
    *error = reason;
    return 1;
}

bool parse_long(const std::string& text, long low, long high, long* value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

bool parse_double(const std::string& text, double low, double high, double* value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != 0 || !(parsed >= low && parsed <= high))
        return false;
    *value = parsed;
    return true;
}

// Applies one option that takes a value; returns 0 or 1 with the reason in error.
int options_apply(const std::string& name, const std::string& value, options_type* options, std::string* error)
{
    long number = 0;
    if (name == "--host") {
        if (value.empty())
            return refuse(error, "--host needs a host name or address");
        options->host = value;
    } else if (name == "--port") {
        if (!parse_long(value, 1, 65535, &number))
            return refuse(error, "--port needs a number from 1 to 65535, not '" + value + "'");
        options->port = static_cast<int>(number);
    } else if (name == "--rate") {
        if (!parse_double(value, lowest_rate, highest_rate, &options->rate))
            return refuse(error, "--rate needs messages per second from 2 to 1000, not '" + value + "'");
    } else if (name == "--send") {
        if (protocol_parse_hex(value, &options->message) != 0 || options->message.empty())
            return refuse(error, "--send needs the message as hex bytes, for example 3000004040808000, not '" +
                                     value + "'");
        if (protocol_count_replies(options->message) < 0)
            return refuse(error, "--send: a control message (30) is 8 bytes long; this one is cut short");
        options->mode = operator_mode::send;
    } else if (name == "--bench") {
        if (!parse_long(value, 1, most_round_trips, &options->bench_count))
            return refuse(error, "--bench needs a number of round trips from 1 to 10000000, not '" + value + "'");
        options->mode = operator_mode::bench;
    } else if (name == "--snapshot") {
        if (value.empty())
            return refuse(error, "--snapshot needs a file name for the JPEG");
        options->snapshot_file = value;
        options->mode = operator_mode::snapshot;
    } else {
        return refuse(error, "unknown option '" + name + "'");
    }
    return 0;
}

bool takes_value(const std::string& name)
{
    return name == "--host" || name == "--port" || name == "--rate" || name == "--send" || name == "--bench" ||
           name == "--snapshot";
}

} // namespace

int options_parse(int argc, char** argv, options_type* options, std::string* error)
{
    int modes = 0;
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        std::string value;
        size_t equals = name.find('=');
        if (name == "--help" || name == "-h") {
            options->mode = operator_mode::help;
            return 0;
        }
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        } else if (takes_value(name)) {
            if (i + 1 >= argc)
                return refuse(error, name + " needs a value");
            value = argv[++i];
        }
        if (!takes_value(name))
            return refuse(error, "unknown option '" + name + "'");
        if (options_apply(name, value, options, error) != 0)
            return 1;
        if (name == "--send" || name == "--bench" || name == "--snapshot")
            modes++;
    }
    if (modes > 1)
        return refuse(error, "choose one of --send, --bench and --snapshot");
    return 0;
}

const char* options_usage()
{
    return "Usage: quillon-operator [--host H] [--port P] [--rate HZ]\n"
           "       quillon-operator [--host H] [--port P] --send HEX\n"
           "       quillon-operator [--host H] [--port P] --bench N\n"
           "       quillon-operator [--host H] [--port P] --snapshot FILE\n"
           "\n"
           "A small operator client for Quillon's operator link (TCP, one client at a time).\n"
           "\n"
           "Without --send, --bench or --snapshot it drives the robot from this terminal: W forward,\n"
           "S backward, A and D turn on the spot, the space bar stops, Q or Esc quits. It sends a\n"
           "control message at a steady rate and shows each telemetry reply and the round-trip time\n"
           "on one line.\n"
           "P asks for a camera image and saves it as quillon-image-NNN.jpg in the current folder.\n"
           "\n"
           "  --host H      host name or IPv4 address of the robot (default localhost)\n"
           "  --port P      TCP port (default 32459)\n"
           "  --rate HZ     control messages per second while driving, 2 to 1000 (default 10)\n"
           "  --send HEX    send one message given as hex bytes and print each telemetry reply in hex;\n"
           "                spaces and colons between bytes are allowed. A control message is 30, then\n"
           "                the 7-byte record: 00, flags (bit 0 left reverse, bit 1 right reverse),\n"
           "                left target, right target, aux 80, aux 80, 00. Example: 3000003b25808000\n"
           "  --bench N     measure N round trips (a stop message and its telemetry reply, one at a\n"
           "                time) and print the median and the 99th percentile in microseconds\n"
           "  --snapshot FILE  ask for one camera image, save its JPEG in FILE and print its size and\n"
           "                how long it took\n"
           "  --help        show this text\n"
           "\n"
           "Exit status: 0 on success, 1 when the connection fails or replies stop, 2 for a bad command line.\n";
}

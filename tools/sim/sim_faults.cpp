// Building the bytes of each fault.
#include "sim_faults.h"

#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr unsigned char board_device = 1;
constexpr unsigned char text_device = 15;
constexpr const char* default_text = "quillon-sim: 100% simulated";

// The argument as a whole number in [low, high], or fallback when there is none; false when malformed.
bool number_argument(const std::string& argument, long low, long high, long fallback, long& value)
{
    if (argument.empty()) {
        value = fallback;
        return true;
    }
    char* end = nullptr;
    value = std::strtol(argument.c_str(), &end, 0);
    return end != nullptr && *end == 0 && value >= low && value <= high;
}

bool bad_checksum(sim_link_type& link, const unsigned char* telemetry)
{
    unsigned char packet[6] = {6, board_device, telemetry[0], telemetry[1], telemetry[2], 0};
    unsigned int sum = 0;
    for (int i = 0; i < 5; i++)
        sum += packet[i];
    packet[5] = static_cast<unsigned char>((sum + 1) & 0xFF);
    return sim_link_send_raw(link, packet, sizeof packet);
}

bool garbage(sim_link_type& link, long count)
{
    static std::mt19937 random_bytes(std::random_device{}());
    std::vector<unsigned char> bytes(static_cast<size_t>(count));
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(random_bytes() & 0xFF);
    return sim_link_send_raw(link, bytes.data(), bytes.size());
}

} // namespace

bool sim_fault_parse(const std::string& text, sim_fault_type& fault, std::string& error)
{
    std::string rest = text;
    fault.at = 0.0;
    size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        char* end = nullptr;
        double seconds = std::strtod(rest.c_str() + at + 1, &end);
        if (end == rest.c_str() + at + 1 || *end != 0 || seconds < 0) {
            error = "bad time in fault '" + text + "'";
            return false;
        }
        fault.at = seconds;
        rest.erase(at);
    }
    size_t colon = rest.find(':');
    fault.name = rest.substr(0, colon);
    fault.argument = colon == std::string::npos ? "" : rest.substr(colon + 1);
    if (fault.name.empty()) {
        error = "no fault name in '" + text + "'";
        return false;
    }
    return true;
}

bool sim_fault_known(const std::string& name)
{
    return name == "bad-checksum" || name == "garbage" || name == "short-length" || name == "short-payload" ||
           name == "text" || name == "unknown-device";
}

bool sim_fault_inject(sim_link_type& link, const sim_fault_type& fault, const unsigned char* telemetry,
                      std::string& error)
{
    long value = 0;
    bool queued = false;
    const std::string& name = fault.name;
    if (name == "bad-checksum") {
        queued = bad_checksum(link, telemetry);
    } else if (name == "garbage" && number_argument(fault.argument, 1, 4096, 16, value)) {
        queued = garbage(link, value);
    } else if (name == "short-length" && number_argument(fault.argument, 0, 3, 3, value)) {
        unsigned char length = static_cast<unsigned char>(value);
        queued = sim_link_send_raw(link, &length, 1);
    } else if (name == "short-payload" && number_argument(fault.argument, 1, 2, 2, value)) {
        queued = sim_link_send(link, board_device, telemetry, static_cast<size_t>(value));
    } else if (name == "text") {
        std::string text = fault.argument.empty() ? default_text : fault.argument;
        queued = sim_link_send(link, text_device, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    } else if (name == "unknown-device" && number_argument(fault.argument, 0, 255, 5, value)) {
        queued = sim_link_send(link, static_cast<unsigned char>(value), telemetry, 3);
    } else {
        error = sim_fault_known(name) ? "bad argument '" + fault.argument + "' for fault " + name
                                      : "unknown fault '" + name + "'";
        return false;
    }
    if (!queued)
        error = "the output queue is full or the fault does not fit a packet";
    return queued;
}

const char* sim_fault_help()
{
    return "faults:\n"
           "  bad-checksum          a telemetry packet whose checksum is off by one\n"
           "  garbage[:COUNT]       COUNT random bytes (default 16, at most 4096)\n"
           "  short-length[:VALUE]  a lone length byte below 4 (default 3)\n"
           "  short-payload[:N]     a device-1 packet with only N payload bytes (1 or 2, default 2)\n"
           "  text[:TEXT]           a device-15 text line (default \"quillon-sim: 100% simulated\")\n"
           "  unknown-device[:ID]   a 3-byte packet for device ID (default 5)\n";
}

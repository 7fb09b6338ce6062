// A boundary is a whole packet of a device on the bus with a good checksum, followed by another: one alone
// could be chance in a camera's picture data. A packet that is the very first thing heard, and all of it,
// also counts: that is a quiet line whose board has just answered.
#include "bus/packet_hunt.h"

#include "services/utility.h"
#include "bus/controller.h"

#include <cstddef>

namespace {

constexpr unsigned char camera_device = 8;
constexpr unsigned char text_device = 15;
constexpr unsigned char smallest_packet = 4;
constexpr unsigned long stuck_bytes = 2048;
constexpr double stuck_seconds = 2.0;
constexpr double report_period = 10.0;

} // namespace

void packet_hunt::reset()
{
    window.clear();
    dropped = 0;
    searching_since = -1.0;
}

bool packet_hunt::stuck(double now)
{
    if (heard() == 0)
        return false;
    if (searching_since < 0.0)
        searching_since = now;
    if (heard() < stuck_bytes && now - searching_since < stuck_seconds)
        return false;
    if (now - last_report < report_period)
        return false;
    last_report = now;
    return true;
}

bool packet_hunt::add(const unsigned char* data, int count)
{
    if (count > 0)
        window.insert(window.end(), data, data + count);
    // A candidate still waiting for its bytes is kept, but one found further on wins: a real boundary
    // there means the earlier candidate's packet would overlap it.
    std::size_t keep = window.size();
    bool found = false;
    for (std::size_t at = 0; at < window.size() && !found; at++) {
        verdict seen = judge(at);
        found = seen == verdict::found;
        if (found || (seen == verdict::wait && keep == window.size()))
            keep = at;
    }
    window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(keep));
    dropped += keep;
    return found;
}

packet_hunt::verdict packet_hunt::judge(std::size_t at) const
{
    std::size_t length = window[at];
    if (length < smallest_packet)
        return verdict::no;
    if (at + length > window.size())
        return verdict::wait;
    if (!whole_packet(at))
        return verdict::no;
    std::size_t next = at + length;
    if (next == window.size())
        return at == 0 && dropped == 0 ? verdict::found : verdict::wait;
    if (window[next] < smallest_packet)
        return verdict::no;
    if (next + window[next] > window.size())
        return verdict::wait;
    return whole_packet(next) ? verdict::found : verdict::no;
}

bool packet_hunt::whole_packet(std::size_t at) const
{
    const unsigned char* packet = window.data() + at;
    unsigned int length = packet[0];
    unsigned char device = packet[1];
    bool known = device == device_id || device == camera_device || device == text_device;
    return known && packet[length - 1] == get_checksum(packet, length - 1);
}

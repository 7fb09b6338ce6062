// The pseudo-terminal, the paced output queue and the packet framing in both directions.
#include "sim_link.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

constexpr size_t device_payload_limit = 252;  // the length byte counts three more and tops at 255
constexpr double pace_burst_limit = 0.020;    // after a late wake-up at most this much is caught up

bool set_raw(int fd)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return false;
    cfmakeraw(&settings);
    cfsetispeed(&settings, B57600);
    cfsetospeed(&settings, B57600);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

unsigned char sum_of(const unsigned char* bytes, size_t length)
{
    unsigned int sum = 0;
    for (size_t i = 0; i < length; i++)
        sum += bytes[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

void compact(sim_link_type& link)
{
    if (link.out_start == link.out.size()) {
        link.out.clear();
        link.out_start = 0;
    } else if (link.out_start > 4096) {
        link.out.erase(link.out.begin(), link.out.begin() + static_cast<long>(link.out_start));
        link.out_start = 0;
    }
}

} // namespace

bool sim_link_open(sim_link_type& link, std::string& error)
{
    link.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link.master < 0 || grantpt(link.master) != 0 || unlockpt(link.master) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    const char* path = ptsname(link.master);
    if (path == nullptr) {
        error = std::string("ptsname failed: ") + std::strerror(errno);
        return false;
    }
    link.name = std::strncmp(path, "/dev/", 5) == 0 ? path + 5 : path;
    link.slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (link.slave < 0 || !set_raw(link.slave)) {
        error = std::string("cannot set up ") + path + ": " + std::strerror(errno);
        return false;
    }
    fcntl(link.master, F_SETFL, fcntl(link.master, F_GETFL) | O_NONBLOCK);
    return true;
}

void sim_link_close(sim_link_type& link)
{
    if (link.master >= 0)
        close(link.master);
    if (link.slave >= 0)
        close(link.slave);
    link.master = -1;
    link.slave = -1;
}

bool sim_link_is_open(const sim_link_type& link)
{
    return link.master >= 0;
}

bool sim_link_send(sim_link_type& link, unsigned char device, const unsigned char* payload, size_t length)
{
    if (length == 0 || length > device_payload_limit)
        return false;
    std::vector<unsigned char> packet;
    packet.push_back(static_cast<unsigned char>(length + 3));
    packet.push_back(device);
    packet.insert(packet.end(), payload, payload + length);
    packet.push_back(sum_of(packet.data(), packet.size()));
    return sim_link_send_raw(link, packet.data(), packet.size());
}

bool sim_link_send_raw(sim_link_type& link, const unsigned char* bytes, size_t length)
{
    if (sim_link_queued(link) + length > sim_link_queue_limit) {
        link.dropped++;
        return false;
    }
    if (sim_link_queued(link) == 0)
        link.was_idle = true;
    link.out.insert(link.out.end(), bytes, bytes + length);
    return true;
}

size_t sim_link_queued(const sim_link_type& link)
{
    return link.out.size() - link.out_start;
}

short sim_link_poll_events(const sim_link_type& link, double now)
{
    short events = POLLIN;
    if (sim_link_queued(link) > 0 && (!link.paced || link.next_byte <= now))
        events |= POLLOUT;
    return events;
}

double sim_link_next_due(const sim_link_type& link, double now)
{
    // A byte already due waits for POLLOUT instead, so a full line never turns into a busy loop.
    if (!link.paced || sim_link_queued(link) == 0 || link.next_byte <= now)
        return 1.0e9;
    return link.next_byte;
}

bool sim_link_write(sim_link_type& link, double now)
{
    size_t pending = sim_link_queued(link);
    if (link.master < 0 || pending == 0)
        return link.master >= 0;
    size_t allowed = pending;
    if (link.paced) {
        link.next_byte = std::max(link.next_byte, link.was_idle ? now : now - pace_burst_limit);
        link.was_idle = false;
        if (link.next_byte > now)
            return true;
        allowed = std::min(pending, static_cast<size_t>((now - link.next_byte) / link.byte_time) + 1);
    }
    ssize_t written = write(link.master, link.out.data() + link.out_start, allowed);
    if (written < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    link.out_start += static_cast<size_t>(written);
    link.next_byte += static_cast<double>(written) * link.byte_time;
    compact(link);
    return true;
}

bool sim_link_read(sim_link_type& link, double now)
{
    if (link.master < 0)
        return false;
    unsigned char buffer[4096];
    for (;;) {
        ssize_t got = read(link.master, buffer, sizeof buffer);
        if (got > 0) {
            link.in.insert(link.in.end(), buffer, buffer + got);
            link.last_input = now;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool sim_link_next_packet(sim_link_type& link, double now, sim_packet_type& packet)
{
    std::vector<unsigned char>& in = link.in;
    while (in.size() >= 2) {
        size_t total = static_cast<size_t>(in[1]) + 3;
        if (in[1] != 0 && in.size() < total)
            break;  // wait for the rest
        if (in[1] != 0 && sum_of(in.data(), total - 1) == in[total - 1]) {
            packet.bytes.assign(in.begin(), in.begin() + static_cast<long>(total));
            packet.device = in[0];
            in.erase(in.begin(), in.begin() + static_cast<long>(total));
            return true;
        }
        in.erase(in.begin());
        link.skipped++;
    }
    if (!in.empty() && now - link.last_input > sim_link_stale_input) {
        link.skipped += in.size();
        in.clear();
    }
    return false;
}

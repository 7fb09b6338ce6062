// The simulated robot's end of the serial line: a pseudo-terminal in raw mode, an output queue that can
// be paced at 57,600 baud, the device-to-server packet framing, and the decoder of the server's packets.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct sim_link_type {
    int master = -1;                   // the pseudo-terminal's master side, ours
    int slave = -1;                    // kept open so the line stays up while the server is away
    std::string name;                  // the slave's name under /dev/, for example "pts/3"
    bool paced = false;                // one byte per byte_time instead of as fast as the pty takes them
    double byte_time = 10.0 / 57600.0; // start bit, 8 data bits, stop bit
    double next_byte = 0.0;            // when the next paced byte may go
    bool was_idle = true;              // the queue ran empty: an idle line earns no credit for a burst
    std::vector<unsigned char> out;    // bytes queued for the server
    size_t out_start = 0;              // out[out_start..] are still to be written
    unsigned long dropped = 0;         // packets not queued because the queue was full
    std::vector<unsigned char> in;     // received bytes not yet decoded
    double last_input = 0.0;           // when the last byte arrived
    unsigned long skipped = 0;         // bytes skipped to find a valid packet since the last one
};

constexpr size_t sim_link_queue_limit = 64 * 1024;
constexpr double sim_link_stale_input = 0.5;  // a partial packet older than this is dropped

// A server packet: device, payload length n, n payload bytes, checksum.
struct sim_packet_type {
    std::vector<unsigned char> bytes;  // the whole packet as received
    unsigned char device = 0;
    const unsigned char* payload() const { return bytes.data() + 2; }
    size_t payload_length() const { return bytes.size() - 3; }
};

bool sim_link_open(sim_link_type& link, std::string& error);
void sim_link_close(sim_link_type& link);
bool sim_link_is_open(const sim_link_type& link);

// Frames a device-to-server packet (length, device, payload, checksum) and queues it; false when the
// payload is empty or over 252 bytes, or the queue is full.
bool sim_link_send(sim_link_type& link, unsigned char device, const unsigned char* payload, size_t length);
// Queues bytes exactly as given (faults use it); false when the queue is full.
bool sim_link_send_raw(sim_link_type& link, const unsigned char* bytes, size_t length);
size_t sim_link_queued(const sim_link_type& link);

// The poll events the link wants now, and the time its next paced byte falls due (or a large value).
short sim_link_poll_events(const sim_link_type& link, double now);
double sim_link_next_due(const sim_link_type& link, double now);
// Writes what may go now; false when the line has gone.
bool sim_link_write(sim_link_type& link, double now);
// Reads what has arrived; false when the line has gone.
bool sim_link_read(sim_link_type& link, double now);
// Takes the next complete server packet with a valid checksum off the input. Bytes that form no valid
// packet are skipped one at a time and counted in link.skipped.
bool sim_link_next_packet(sim_link_type& link, double now, sim_packet_type& packet);

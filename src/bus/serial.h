// The serial port that carries the robot's packet bus: its reading thread, the receive parser that cuts
// the byte stream into checksummed packets and dispatches them by device, and the packet send path.
#pragma once

#include "bus/packet_hunt.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

struct serial_port_type;
struct serial_event_type;

// Takes one checked packet's payload; a NUL follows it (where the checksum was). Runs on the reading thread.
using serial_handler_type = std::function<void(const unsigned char* payload, int length)>;
constexpr unsigned char serial_text_device = 15;  // any device: a text line for the message lines

// The handler of device 15: the text, to its first NUL, as a message line.
void serial_text_line(const unsigned char* payload, int length);

class serial_class {
public:
    serial_class();
    ~serial_class();

    void start(unsigned int baud);
    unsigned char get_state();
    void stop();
    int serial_packet(unsigned char device, const unsigned char* payload, int length);
    // 0 written, 1 abandoned because stop was signalled, 2 refused by the port (logged once per failure run).
    int serial_send(const unsigned char* data, unsigned int length);

    // The receive parser.
    int process_byte(unsigned char value);
    int validate_packet(unsigned char* packet, unsigned int length);
    int process_packet(unsigned char* packet, unsigned int length);
    void flush();
    // The window thread: a flush whose second is over at now ends.
    void check(double now);
    int do_serial_packet(unsigned char device, const unsigned char* payload, int length);
    // The handler of a device's packets, set before start (the shell fills the table); a device without
    // one is reported.
    void set_device_handler(unsigned char device, serial_handler_type handler);

    // The port's name from config.txt, at most 255 characters: a device under /dev/ ("ttyUSB0") or a full
    // path (a stable /dev/serial/by-id/... link).
    char port_name[256] = {};

    // Parser state (shared with the sending side and the window thread's check).
    std::atomic<unsigned char> packet_state{0};  // 0 waiting for a length byte, 1 collecting, 2 flushing
    unsigned char packet_buffer[0x200] = {};     // the packet being collected
    unsigned int packet_length = 0;              // its length byte
    unsigned int packet_count = 0;               // bytes stored so far
    std::atomic<double> flush_deadline{0.0};     // the flushing state may end after this time

private:
    void serial_thread();
    bool read_burst(unsigned char* batch);
    void feed_batch(const unsigned char* batch, int count);
    void feed_bytes(const unsigned char* bytes, size_t count);
    void report_stuck_hunt();
    bool write_packet(unsigned char device, const unsigned char* payload, int length);  // true when all of it went
    unsigned int bytes_to_wait_for();
    bool sleep_through_packet();
    bool wait_out_cycle(double cycle_start);
    void lose_port();
    bool reconnect();

    // The open port, or null (also while it is lost). The reading thread alone opens and closes it once
    // started, and changes it only under send_mutex, so a writer never meets a closed port.
    serial_port_type* port = nullptr;
    unsigned int baud_rate = 0;              // as start set it, for reopening a lost port
    bool reopen_reported = false;            // a failed reopen has been logged since the port was lost
    serial_event_type* stop_event = nullptr; // manual reset; signalled once by stop, watched by every wait
    std::atomic<unsigned char> state{0};     // 1 from the start of start() until a step fails
    std::mutex send_mutex;                   // held around the writing of one packet; guards write_failing
    bool write_failing = false;              // the last write was refused; the next refusal is not logged again
    // A port just opened starts empty, so mid-packet: the reading thread looks for the packets' start.
    packet_hunt hunt;
    bool hunting = false;
    std::thread reading_thread;              // feeds the parser
    serial_handler_type handlers[256];       // by device: where its packets go
};

extern serial_class serial;

// The serial port worker and its receive parser: the port's reading thread feeds the parser, which cuts
// packets from the byte stream, checks them and hands each payload to its device.
#include "bus/serial.h"

#include "services/threads.h"
#include "services/time.h"
#include "services/taps.h"
#include "services/log.h"
#include "services/utility.h"
#include "services/message_lines.h"
#include "platform/serial_port.h"

serial_class serial;

namespace {

constexpr unsigned int read_wait_ms = 2000;     // one cycle of the reading thread
constexpr unsigned int batch_size = 0x2000;     // the reading thread's buffer; one byte is kept spare
constexpr unsigned int packet_buffer_bound = 0x1FF;
constexpr unsigned int bits_per_byte = 10;  // start bit, 8 data bits, stop bit

} // namespace

serial_class::serial_class()
{
    log_write("Serial - Constructor");
    stop_event = serial_event_create();
}

serial_class::~serial_class()
{
    log_write("Serial - Destructor");
    // A thread still running here would end the process; the program stops it, but a test may not.
    if (reading_thread.joinable()) {
        serial_event_signal(stop_event);
        reading_thread.join();
    }
}

void serial_class::start(unsigned int baud)
{
    add_line("Serial - Start");
    if (reading_thread.joinable()) {
        log_write("Serial - Already started");
        return;
    }
    state = 1;
    if (stop_event == nullptr) {
        add_line("Serial - Unable to create the stop event");
        state = 0;
        return;
    }
    serial_event_reset(stop_event);  // the port can be started again after a stop (tests do)
    port = serial_port_open(port_name);
    if (port == nullptr) {
        log_write("Serial - Unable to open serial port (%s)", port_name);
        state = 0;
        return;
    }
    serial_setup_result setup = serial_port_setup(port, baud);
    if (setup == serial_setup_result::get_failed) {
        log_write("Serial - Unable to get commstate");
        state = 0;
        return;
    }
    if (setup == serial_setup_result::set_failed) {
        add_line("Serial - Unable to set commstate");
        state = 0;
        return;
    }
    baud_rate = baud;
    reopen_reported = false;
    hunt.reset();
    hunting = true;
    if (!thread_start(reading_thread, "Serial", [this] { serial_thread(); })) {
        // Without its reading thread the port stays down: nothing is sent to a bus nobody listens to.
        serial_port_close(port);
        port = nullptr;
        state = 0;
        return;
    }
    add_line("Serial - Online");
}

unsigned char serial_class::get_state()
{
    return state;
}

void serial_class::stop()
{
    add_line("Serial - Stop");
    serial_event_signal(stop_event);
    log_write("Serial - Event Sig");
    if (reading_thread.joinable())
        reading_thread.join();
    log_write("Serial - Thread return");
    {
        // Writers see the stop event and give up, so the port is closed with no write in progress.
        std::lock_guard<std::mutex> hold(send_mutex);
        serial_port_close(port);
        port = nullptr;
    }
    log_write("Serial - Stop Complete");
}

void serial_class::serial_thread()
{
    log_write("Serial -  Enter Serial Thread");
    unsigned char batch[batch_size];
    for (;;) {
        double cycle_start = get_time();
        if (port == nullptr) {
            // Lost: one attempt to open it again per cycle.
            if (!reconnect() && wait_out_cycle(cycle_start))
                break;
            continue;
        }
        serial_wait_result result = serial_port_wait(port, stop_event, read_wait_ms, bytes_to_wait_for());
        if (result == serial_wait_result::stopped)
            break;
        if (result == serial_wait_result::timeout) {
            log_write("Serial - Read timeout");
            if (hunting)
                report_stuck_hunt();
            continue;
        }
        if (result == serial_wait_result::received && read_burst(batch)) {
            if (sleep_through_packet())
                break;
            continue;
        }
        if (result == serial_wait_result::hangup)
            log_write("Serial - Port hung up (%s)", port_name);
        else if (result == serial_wait_result::failed)
            log_write("Serial - Port error (%s): %s", port_name, serial_port_error_text());
        // Hung up, failed or gone (an adapter pulled out, the board's power cycled): it stays unusable,
        // and waiting on it again at once would spin.
        lose_port();
        if (wait_out_cycle(cycle_start))
            break;
    }
}

// Reads what has arrived and feeds it to the parser; false when the port failed.
bool serial_class::read_burst(unsigned char* batch)
{
    int count = serial_port_read(port, batch, batch_size - 1);
    if (count < 0) {
        log_write("Serial - Read error on port (%s): %s", port_name, serial_port_error_text());
        return false;
    }
    feed_batch(batch, count);
    return true;
}

void serial_class::feed_batch(const unsigned char* batch, int count)
{
    if (!hunting) {
        feed_bytes(batch, static_cast<size_t>(count));
        return;
    }
    if (!hunt.add(batch, count)) {
        report_stuck_hunt();
        return;
    }
    hunting = false;
    if (hunt.skipped() > 0)
        log_write("Serial - Skipped %lu bytes to the first whole packet", hunt.skipped());
    feed_bytes(hunt.aligned().data(), hunt.aligned().size());
    hunt.reset();
}

void serial_class::report_stuck_hunt()
{
    if (!hunt.stuck(get_time()))
        return;
    add_line("Serial - No whole packet in %lu bytes: check the baud rate (57,600), that serial_port names the "
             "robot's bus, and that the board speaks this bus's packets", hunt.heard());
}

void serial_class::feed_bytes(const unsigned char* bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (process_byte(bytes[i]) != 0)
            return;
}

// Bytes the next wait asks for: the rest of a packet that has begun, since nothing can be done with it
// before it is whole; otherwise the next byte. One wake-up per packet instead of one per byte.
unsigned int serial_class::bytes_to_wait_for()
{
    if (packet_state != 1 || packet_count >= packet_length)
        return 1;
    return packet_length - packet_count;
}

// The rest of a begun packet cannot arrive sooner than the line carries it: sleeping that long (whole
// milliseconds, never more) delays its handling by nothing, and keeps the thread off the port while it
// comes, where every byte would wake it. True when stop was signalled meanwhile.
bool serial_class::sleep_through_packet()
{
    unsigned int remaining = bytes_to_wait_for();
    if (remaining <= 1 || baud_rate == 0)
        return false;
    unsigned int line_ms = remaining * bits_per_byte * 1000 / baud_rate;
    return line_ms > 0 && serial_event_wait(stop_event, line_ms);
}

// Waits for the stop event until the cycle's 2 seconds are over; true when stop was signalled.
bool serial_class::wait_out_cycle(double cycle_start)
{
    double left = cycle_start + read_wait_ms / 1000.0 - get_time();
    unsigned int left_ms = left > 0 ? static_cast<unsigned int>(left * 1000.0) : 0;
    return serial_event_wait(stop_event, left_ms);
}

void serial_class::lose_port()
{
    {
        std::lock_guard<std::mutex> hold(send_mutex);
        serial_port_close(port);
        port = nullptr;
    }
    // A packet cut off by the loss would swallow the first bytes after the reconnection.
    if (packet_state == 1)
        packet_state = 0;
    reopen_reported = false;
    add_line("Serial - Connection lost");
}

// Opens the port by the same name again; true once it is open and set up.
bool serial_class::reconnect()
{
    serial_port_type* opened = serial_port_open(port_name);
    if (opened == nullptr) {
        if (!reopen_reported)
            log_write("Serial - Unable to open serial port (%s)", port_name);
        reopen_reported = true;
        return false;
    }
    if (serial_port_setup(opened, baud_rate) != serial_setup_result::ok) {
        if (!reopen_reported)
            log_write("Serial - Unable to set commstate (%s)", port_name);
        reopen_reported = true;
        serial_port_close(opened);
        return false;
    }
    {
        std::lock_guard<std::mutex> hold(send_mutex);
        port = opened;
        write_failing = false;
    }
    hunt.reset();
    hunting = true;
    add_line("Serial - Reconnected");
    return true;
}

int serial_class::serial_packet(unsigned char device, const unsigned char* payload, int length)
{
    if (packet_state == 2)
        return 0;
    if (serial_event_signalled(stop_event))
        return 0;
    std::lock_guard<std::mutex> hold(send_mutex);
    // A writer that waited for the mutex while stop was signalled sends nothing.
    if (serial_event_signalled(stop_event))
        return 0;
    // Only what reached the port is shown as sent: a lost port or a failed write sends nothing.
    if (write_packet(device, payload, length))
        tap_publish_packet(tap_kind::bus_sent, device, payload, length);
    return 0;
}

int serial_class::serial_send(const unsigned char* data, unsigned int length)
{
    if (port == nullptr)
        return 2;  // lost, or never opened: the reading thread reports that, not every packet
    serial_write_result result = serial_port_write(port, stop_event, data, length);
    if (result == serial_write_result::stopped)
        return 1;
    if (result == serial_write_result::failed) {
        if (!write_failing)
            log_write("Serial - Write failed on port (%s): %s", port_name, serial_port_error_text());
        write_failing = true;
        return 2;
    }
    write_failing = false;
    return 0;
}

int serial_class::process_byte(unsigned char value)
{
    if (packet_state == 2) {
        log_write("Serial - Flush Ignore: %x", value);
        return 1;
    }
    if (packet_state == 0) {
        packet_buffer[0] = value;
        packet_length = value;
        packet_count = 1;
        if (value <= 3) {
            add_line("Serial - Invalid packet size");
            return 1;
        }
        packet_state = 1;
        return 0;
    }
    if (packet_count > packet_buffer_bound) {
        packet_state = 0;
        add_line("Serial - Process byte buffer size exceeded");
        return 1;
    }
    packet_buffer[packet_count] = value;
    packet_count++;
    if (packet_count == packet_length) {
        packet_state = 0;
        return process_packet(packet_buffer, packet_count) != 0 ? 1 : 0;
    }
    return 0;
}

int serial_class::validate_packet(unsigned char* packet, unsigned int length)
{
    if (packet == nullptr || length < 2)
        return -1;
    unsigned int actual = packet[length - 1];
    unsigned int expected = get_checksum(packet, length - 1);
    if (actual == expected)
        return 0;
    add_line("Invalid packet checksum actual: %02x  Expected: %02x", actual, expected);
    show_buffer("Buffer: ", packet, static_cast<int>(length), false);
    return -1;
}

int serial_class::process_packet(unsigned char* packet, unsigned int length)
{
    if (validate_packet(packet, length) != 0 || length < 4) {
        add_line("Serial - Enter Flush");
        flush_deadline = get_time() + 1.0;
        packet_state = 2;
        add_line("Serial - Unable to validate packet");
        return 1;
    }
    unsigned char device = packet[1];
    unsigned char* payload = packet + 2;
    int payload_length = static_cast<int>(length) - 3;
    tap_publish_packet(tap_kind::bus_received, device, payload, payload_length);
    packet[length - 1] = 0;  // a text payload ends at the checksum's place, or at an earlier NUL
    if (handlers[device])
        handlers[device](payload, payload_length);
    else
        add_line("Serial - Data for invalid device: %d", device);
    return 0;
}

void serial_class::set_device_handler(unsigned char device, serial_handler_type handler)
{
    handlers[device] = std::move(handler);
}

void serial_text_line(const unsigned char* payload, int)
{
    add_line("%s", reinterpret_cast<const char*>(payload));
}

void serial_class::flush()
{
    add_line("Serial - Enter Flush");
    flush_deadline = get_time() + 1.0;
    packet_state = 2;
}

void serial_class::check(double now)
{
    if (packet_state == 2 && now > flush_deadline) {
        packet_state = 0;
        add_line("Serial - Exit Flush");
    }
}

int serial_class::do_serial_packet(unsigned char device, const unsigned char* payload, int length)
{
    write_packet(device, payload, length);
    return 0;
}

bool serial_class::write_packet(unsigned char device, const unsigned char* payload, int length)
{
    if (length <= 0 || payload == nullptr)
        return false;
    if (length > 255)
        length = 255;  // the length travels as one byte; never more payload than it announces
    unsigned char header[2] = {device, static_cast<unsigned char>(length)};
    unsigned char checksum =
        static_cast<unsigned char>(get_checksum(header, 2) + get_checksum(payload, static_cast<unsigned int>(length)));
    // The parts go on even after a failed one, as the board resynchronises on whole packets either way.
    bool written = serial_send(header, 2) == 0;
    written = serial_send(payload, static_cast<unsigned int>(length)) == 0 && written;
    written = serial_send(&checksum, 1) == 0 && written;
    return written;
}

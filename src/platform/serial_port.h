// The serial port service: a port opened by name in raw 8N1, a wait for received bytes that a stop event
// ends at once, reads that never block and writes that the stop event abandons.
#pragma once

struct serial_port_type;
struct serial_event_type;

// A manual-reset event: once signalled it stays signalled. Null when it cannot be made.
serial_event_type* serial_event_create();
void serial_event_signal(serial_event_type* event);
void serial_event_reset(serial_event_type* event);
bool serial_event_signalled(serial_event_type* event);
// Waits up to the time-out for the event; true when it is signalled.
bool serial_event_wait(serial_event_type* event, unsigned int timeout_ms);
void serial_event_destroy(serial_event_type* event);

// Opens the named port for reading and writing, without blocking; a name that does not start with '/' is
// looked up under /dev/, so "ttyUSB0" and "pts/3" both work, and a full path (a symbolic link such as
// /dev/serial/by-id/...) is opened as it is. On Windows "COM3" opens \\.\COM3, and a name holding a path
// separator or a drive colon is used as given. Null on failure.
serial_port_type* serial_port_open(const char* name);
void serial_port_close(serial_port_type* port);

enum class serial_setup_result {
    ok,
    get_failed,  // the current settings could not be read
    set_failed,  // the new settings were refused
};

// Raw 8 data bits, no parity, one stop bit at the baud rate; receiver on, modem lines ignored, no flow
// control in either direction; DTR and RTS raised where the port has them.
serial_setup_result serial_port_setup(serial_port_type* port, unsigned int baud);

enum class serial_wait_result {
    received,  // bytes are ready to read
    stopped,   // the stop event is signalled (it wins when both are ready)
    timeout,
    hangup,    // the other side is gone (a pseudo-terminal closed, an adapter unplugged)
    failed,    // the port reports an error
};

// With min_bytes above 1, bytes count as received once that many are waiting (at most 255), so a reader
// that knows how much of a packet is still to come wakes once for it, not once per byte; after the
// time-out whatever is waiting counts as received. A backend may treat every min_bytes as 1.
serial_wait_result serial_port_wait(serial_port_type* port, serial_event_type* stop, unsigned int timeout_ms,
                                    unsigned int min_bytes = 1);

// Reads what has arrived, up to size bytes, without blocking: the count (0 when nothing is waiting), or -1
// when the port has hung up or failed.
int serial_port_read(serial_port_type* port, unsigned char* buffer, unsigned int size);

enum class serial_write_result {
    written,
    stopped,  // the stop event fired before every byte was taken; the rest is abandoned
    failed,   // the port refused the bytes (hung up or broken)
};

// Writes every byte, waiting without a time limit while the port's queue is full, unless stop fires.
serial_write_result serial_port_write(serial_port_type* port, serial_event_type* stop, const unsigned char* data,
                                      unsigned int length);

// The text of the last error on this thread, for log lines.
const char* serial_port_error_text();

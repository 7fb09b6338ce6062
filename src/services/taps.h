// Taps on what flows through the program, for those that watch or record it (the Foxglove connection,
// the flight recorder, the fleet link); camera pictures take the camera feed instead. A producer
// publishes an event; every listener runs on the producer's thread and must only copy and queue, never
// block and never log.
#pragma once

#include <cstddef>
#include <functional>

enum class tap_kind {
    log_line,      // text: one log line as written, without its end of line
    message_line,  // text: one message line of the status display
    bus_sent,      // data: one whole packet sent to the board; device is its device number
    bus_received,  // data: one whole packet received from the board
};

struct tap_event_type {
    tap_kind kind = tap_kind::log_line;
    double time = 0.0;                   // get_time() when it happened
    const unsigned char* data = nullptr; // the bytes (text is not terminated)
    size_t length = 0;
    int device = 0;                      // bus packets
};

using tap_listener = std::function<void(const tap_event_type&)>;

// Returns a handle for tap_remove. Once tap_remove returns, the listener is never called again.
int tap_add(tap_listener listener);
void tap_remove(int handle);
// True while any listener is registered: producers skip building events otherwise.
bool tap_wanted();
void tap_publish(const tap_event_type& event);

// Shorthands that stamp the time and skip all work while nobody listens.
void tap_publish_text(tap_kind kind, const char* text, size_t length);
void tap_publish_packet(tap_kind kind, int device, const unsigned char* data, int length);

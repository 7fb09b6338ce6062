// What waits to be sent to one Foxglove client: a short FIFO of control messages that are never dropped,
// a FIFO of log and bus messages bounded in bytes (the newest is dropped and counted when full), one
// slot each for telemetry and the camera where the newest replaces the older, and the message being
// written, which nothing replaces or frees while its write is in flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

constexpr size_t foxglove_control_limit = 16;           // control messages waiting; one more: not reading
constexpr size_t foxglove_data_limit = 1024 * 1024;     // bytes of log and bus messages waiting

struct foxglove_outgoing_type {
    std::string head;                             // a control message, or message data's 13-byte header
    std::shared_ptr<const std::string> payload;   // message data's payload, shared between clients
    bool binary = false;
    size_t size() const { return head.size() + (payload ? payload->size() : 0); }
};

class foxglove_outbox_class {
public:
    // False when the FIFO is full: the message is not queued, and the caller closes the connection.
    bool push_control(std::string text);
    // False when the message did not fit and was dropped.
    bool push_data(foxglove_outgoing_type message);
    void set_telemetry(foxglove_outgoing_type message);
    void set_camera(foxglove_outgoing_type message);

    // Starts the next write: control, then telemetry, then log and bus, then the camera. False when a
    // write is in flight already or nothing waits.
    bool start_next();
    const foxglove_outgoing_type& in_flight() const { return flight; }
    void write_done();
    // The session is over: every message waiting goes but the control messages, which say why.
    void release();

    uint64_t dropped() const { return dropped_count; }
    size_t data_bytes() const { return data_size; }

private:
    std::deque<std::string> control;              // in order of arrival
    std::deque<foxglove_outgoing_type> data;      // in order of arrival
    size_t data_size = 0;                         // bytes held in data
    std::unique_ptr<foxglove_outgoing_type> telemetry;  // the newest not yet sent
    std::unique_ptr<foxglove_outgoing_type> camera;     // the newest not yet sent
    foxglove_outgoing_type flight;                // the message whose write is in flight
    bool busy = false;                            // a write is in flight
    uint64_t dropped_count = 0;                   // data messages dropped for want of room
};

// What the main loop hands a simulated device on every turn: the world as it is now and the means to put
// packets on the line. The serial camera (sim_camera) is such a device.
#pragma once

#include "sim_world.h"

#include <cstddef>
#include <functional>

struct sim_turn_type {
    const sim_world_type* world = nullptr;  // the room and the robot's pose, read only
    double now = 0.0;                       // seconds since the sim started
    bool paced = false;                     // output goes at 57,600 baud
    size_t queued = 0;                      // bytes waiting on the line before anything queued now
    // Frames and queues one device-to-server packet (at most 252 payload bytes); false when it was not queued.
    std::function<bool(unsigned char device, const unsigned char* payload, size_t length)> send;
    // Queues bytes exactly as given, for faults that break the framing; false when it was not queued.
    std::function<bool(const unsigned char* bytes, size_t length)> send_raw;
    // Adds an event line to the record file (when there is one).
    std::function<void(const char* text)> note;
};

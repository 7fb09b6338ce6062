// One picture of the robot at one moment, the same for every channel that tells it (the web console,
// Foxglove, the recorder, the fleet): readings, motion, rates, modes and who drives. Safe from any thread.
#pragma once

#include "robot/motion_rules.h"

#include <functional>

struct robot_snapshot_type {
    float analog[8] = {};                          // fractions of full scale
    double left_target = 0.0, right_target = 0.0;  // the control record's own numbers (0 to 240)
    double left_speed = 0.0, right_speed = 0.0;    // applied speeds, moved towards the targets by the ramp
    bool left_reverse = false, right_reverse = false;
    double serial_rate = 0.0;                      // controller packets a second
    bool has_camera = false;                       // a camera is shown: the capture, or else the serial camera
    double camera_rate = 0.0;                      // its pictures a second
    bool remote = false;                           // a remote driver holds the robot: the operator link's
                                                   // client, a browser, a Foxglove client or an MQTT operator
    bool link = false;                             // the operator link holds a client
    bool auto_mode = false;                        // the automatic mode is on
    driver_kind driver = driver_kind::none;        // who drives
    uint64_t driver_id = 0;                        // which one of its kind
};

robot_snapshot_type robot_snapshot();

// The shown camera's rate, as the shell wires it: false without a camera. Without one set, the robot's
// serial camera.
using snapshot_camera_rate_type = std::function<bool(double* rate)>;
void robot_snapshot_camera(snapshot_camera_rate_type rate);

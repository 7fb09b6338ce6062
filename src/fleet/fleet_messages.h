// What travels on the fleet link's topics: the drive messages a robot takes (parsed strictly) and the
// status and telemetry messages it publishes.
//
// Under quillon/<robot_name>/:
//   status     retained  {"state":"online","version":"0.1.0","started":unix_seconds,"console":"url"|null}
//                        the last will, and a clean stop: {"state":"offline"}
//   telemetry            {"time":unix_seconds,"serial_rate":N,"camera_rate":N|null,"remote":bool,"auto":bool,
//                         "left":{"target":N,"speed":N,"reverse":bool},"right":{...},"analog":[8 numbers],
//                         "driver":"link"|"keyboard"|"browser"|"foxglove"|"mqtt"|"none"}
//   messages             one message line, as text
//   picture    retained  the newest camera JPEG, at most one every 5 s
//   drive      taken     {"forward":F,"turn":T} (each -1 .. 1) or {"keys":"wasd" letters held}; "" releases;
//                        "by":"NAME" may name the operator; a retained drive is never taken
//   stop       taken     anything, of any length, retained or not: the robot goes to its neutral state
#pragma once

#include "robot/drivers.h"
#include "robot/snapshot.h"

#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t fleet_drive_max = 256;  // bytes of one drive message

// A drive message; ok is false for anything malformed, oversized or out of range, and for a "by" that
// breaks the name rule.
struct fleet_drive_type {
    bool ok = false;
    drive_command_type command;
    std::string by;  // the operator's name; empty when not given
};
fleet_drive_type fleet_parse_drive(std::string_view text);
// The operator a stop message names: its "by" when it is a JSON object under the drive limit with a
// good name, else empty. The stop itself is taken whatever this says.
std::string fleet_stop_operator(std::string_view text);

std::string fleet_status_online(const char* version, double started, const std::string& console_url);
std::string fleet_status_offline();

// One telemetry message: the robot's snapshot at a wall-clock time in seconds.
std::string fleet_telemetry_json(const robot_snapshot_type& values, double time);

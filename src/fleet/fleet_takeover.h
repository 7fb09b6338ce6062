// Telling that another client uses this robot's client id. An MQTT 5 broker says so when it drops the
// robot (reason 142, session taken over); others, Mosquitto among them, only close the connection, and
// then the robot, which connects again at once, is dropped again and again soon after each connection.
#pragma once

constexpr int fleet_taken_over_reason = 142;
constexpr double fleet_quick_drop = 10.0;   // seconds: a drop this soon after its connection is quick
constexpr int fleet_quick_drops = 3;        // quick drops in a row that tell of a takeover
constexpr double fleet_takeover_repeat = 60.0;  // seconds between two warnings at least

struct fleet_takeover_type {
    double connected_at = -1.0;  // when the standing connection was made; negative when none stands
    int quick = 0;               // quick drops in a row
    double warned_at = -1e9;     // when the last warning was due
};

void fleet_takeover_connected(fleet_takeover_type& watch, double now);
// The connection ended with `reason` (an MQTT 5 reason code, or the library's error); true when a
// warning is due now.
bool fleet_takeover_dropped(fleet_takeover_type& watch, int reason, double now);

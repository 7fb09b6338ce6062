// The fleet link: the robot on an MQTT broker (libmosquitto, on the library's own network thread). It
// publishes status, telemetry, message lines and pictures under quillon/<robot_name>/ and takes drive and
// stop through the one-driver model. Off unless mqtt_broker is set; the robot's own behaviour never
// depends on the broker.
#pragma once

#include "fleet/fleet_config.h"

#include <string>

// Window thread, after the configuration and the console. A refused key is a message line, no link.
void fleet_start(const fleet_config_type& config);
// Says offline, disconnects and ends the network thread. Idempotent.
void fleet_stop();
// The 10 ms tick: telemetry at mqtt_rate, waiting message lines and pictures, the minute's count of
// dropped messages.
void fleet_check(double now);
bool fleet_running();
// Publishes one line of text on quillon/<robot_name>/messages, where MQTT operators read why the robot
// did not do what they asked. Window thread; never waits (the line only queues); nothing while the
// link is down.
void fleet_notice(const std::string& text);

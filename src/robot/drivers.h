// Who drives the robot. Every driver (the operator link, the robot's own keyboard and joystick, browsers,
// Foxglove clients, MQTT operators) goes through one table of rules, applied on the window thread: who
// may take over whom, each kind's deadman, STOP from anyone. Remote drivers submit from their own
// threads; submissions are coalesced per driver, so a flood never queues more than one wake-up each.
#pragma once

#include <cstdint>

enum class driver_kind { none, link, keyboard, browser, foxglove, mqtt };

// Held directions of a key-style command.
constexpr unsigned int drive_key_w = 1;  // forward
constexpr unsigned int drive_key_a = 2;  // left
constexpr unsigned int drive_key_s = 4;  // backward
constexpr unsigned int drive_key_d = 8;  // right

// One drive command. Either held directions (through the keyboard's motion table) or proportional
// forward and turn, mapped onto the two targets with the same limits as every other driver.
struct drive_command_type {
    bool proportional = false;
    unsigned int keys = 0;   // drive_key_* bits when not proportional; 0 releases
    double forward = 0.0;    // -1 .. 1 of the driver's full speed, positive ahead
    double turn = 0.0;       // -1 .. 1, positive to the right
    bool holds() const;      // asks for motion (a held key, or a non-zero value)
};

// Window message posted when submissions wait (no parameters); the window procedure calls drivers_message.
constexpr unsigned int WM_DRIVERS = 0x8010;

// From any thread. id tells drivers of one kind apart (a browser's session, a Foxglove client...).
void drivers_drive(driver_kind kind, uint64_t id, const drive_command_type& command);
void drivers_stop(driver_kind kind, uint64_t id);   // anyone's STOP: neutral at once
void drivers_leave(driver_kind kind, uint64_t id);  // the driver is gone

// Window thread: applies what waits, then the 10 ms tick's deadman and idle rules.
void drivers_message();
void drivers_check(double now);

// Published for every thread.
driver_kind drivers_current(uint64_t* id = nullptr);
const char* driver_name(driver_kind kind);

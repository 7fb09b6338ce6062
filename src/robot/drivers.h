// Who drives the robot. Every driver (the operator link, the robot's own keyboard and joystick, browsers,
// Foxglove clients, MQTT operators) goes through one table of rules, applied on the window thread: who
// may take over whom, each kind's deadman, STOP from anyone. Remote drivers submit from their own
// threads; submissions are coalesced per driver, so a flood never queues more than one wake-up.
#pragma once

#include <cstdint>

struct platform_window;

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

// A side's target at full proportional command, as a fraction of the robot's motion scale: the fastest
// side the keyboard's table gives (W with D), so no remote driver outruns the person at the robot.
constexpr double drivers_full_speed = 0.39;
constexpr double drivers_deadman = 0.5;  // seconds without a drive message before a remote driver's motion ends
constexpr double drivers_idle = 1.0;     // seconds without a held direction before a remote driver lets go

// Window message posted when submissions wait (no parameters); the window procedure calls drivers_message.
constexpr unsigned int WM_DRIVERS = 0x8010;

// The window that receives WM_DRIVERS; without one, submissions wait for the next drivers_message.
void drivers_start(platform_window* window);

// From any thread. id tells drivers of one kind apart (a browser's session, a Foxglove client...).
void drivers_drive(driver_kind kind, uint64_t id, const drive_command_type& command);
void drivers_stop(driver_kind kind, uint64_t id);   // anyone's STOP: neutral at once
void drivers_leave(driver_kind kind, uint64_t id);  // the driver is gone

// Window thread: applies what waits, then the 10 ms tick's deadman and idle rules.
void drivers_message();
void drivers_apply(double now);  // drivers_message at a given time
void drivers_check(double now);

// Window thread, from the operator link: it has accepted (true) or lost (false) its client. The link
// drives before anyone else; its arrival ends a remote driver's motion before its first message.
void drivers_link(bool held);
// Window thread, from the keyboard and joystick: whether a direction is held at the robot. Returns
// whether the keys' motion may be applied now (false while the link or a remote driver keeps the robot).
bool drivers_keyboard(bool held);
// Window thread: every driver of the kind is gone at once (the console stops).
void drivers_forget(driver_kind kind);

// Published for every thread.
driver_kind drivers_current(uint64_t* id = nullptr);
bool drivers_remote();              // remote_mode as the table last set it
uint64_t drivers_wakeups();         // WM_DRIVERS posts asked for so far
const char* driver_name(driver_kind kind);

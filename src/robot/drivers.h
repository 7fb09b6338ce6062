// How drivers reach the robot: every driver (the operator link, the robot's keyboard and joystick, the
// automatic mode, browsers, Foxglove clients, MQTT operators) submits intents here, from any thread. Each
// intent is stamped with its place in the order of arrival; the motion authority applies them on the
// window thread in that order, so nothing that arrived before a STOP takes effect after it.
#pragma once

#include "robot/motion_rules.h"

#include <cstdint>
#include <vector>

struct platform_window;

// Window message posted when intents wait (no parameters); the window procedure calls motion_apply.
constexpr unsigned int WM_DRIVERS = 0x8010;

// The window that receives WM_DRIVERS; without one, intents wait for the next motion_apply.
void drivers_start(platform_window* window);

// From any thread. id tells drivers of one kind apart (a browser's session, a Foxglove client...).
void drivers_drive(driver_kind kind, uint64_t id, const drive_command_type& command);
void drivers_stop(driver_kind kind, uint64_t id);   // anyone's STOP: neutral at once, and it holds
void drivers_leave(driver_kind kind, uint64_t id);  // the driver is gone
void drivers_forget(driver_kind kind);              // every driver of the kind is gone (the console stops)
void drivers_submit(intent_type intent);            // any other intent; its order is stamped here

// Window thread: every waiting intent, in the order of arrival. Consecutive STOPs come as one, and a
// driver's drives between two other intents as its newest; past a bound, drives wait for the next turn's.
std::vector<intent_type> drivers_take();
// Window thread, every tick: the STOP lines the log owes (a line at once, then one a second with a count).
void drivers_report_stops();

// Published by the motion authority for every thread.
void drivers_publish(const driver_id_type& current, bool remote, bool link);
driver_kind drivers_current(uint64_t* id = nullptr);
bool drivers_remote();              // remote_mode as the authority last set it
bool drivers_link_held();           // the operator link holds a client
uint64_t drivers_wakeups();         // WM_DRIVERS posts asked for so far

// Driving from browsers, on the window thread: which browser drives, the motion it asks for, and the
// safety rules that bring the robot to its neutral state. The web thread only posts messages here.
#pragma once

#include <atomic>
#include <cstdint>

// Window messages the web thread posts; the first parameter is the browser's session number.
constexpr unsigned int WM_WEB_DRIVE = 0x8001;  // second parameter: the held directions (web_key_* bits),
                                               // or forward and turn as web_drive_pack_values made it
constexpr unsigned int WM_WEB_STOP = 0x8002;   // any browser's STOP
constexpr unsigned int WM_WEB_LEAVE = 0x8003;  // the browser's connection has closed

constexpr double web_drive_silence = 0.5;  // seconds without a drive message before the robot stops
constexpr double web_drive_idle = 1.0;     // seconds without a held direction before the driver lets go

enum class web_driver_kind { none, link, browser, keyboard };

// Published by the window thread for the web thread's state messages.
extern std::atomic<uint64_t> web_driver_session;  // the driving browser's session, 0 for none
extern std::atomic<int> web_driver_now;           // a web_driver_kind
extern std::atomic<bool> web_remote_now;          // remote_mode

// The entry points, with the time and the link's state given so that tests choose them.
void web_drive_keys(uint64_t session, unsigned int keys, double now, bool link_held);
// Proportional driving: forward and turn from -1 to 1, through the same rules as the directions.
void web_drive_values(uint64_t session, double forward, double turn, double now, bool link_held);
// Forward and turn in WM_WEB_DRIVE's second parameter, to a ten-thousandth.
intptr_t web_drive_pack_values(double forward, double turn);
void web_drive_stop(uint64_t session, bool link_held);
void web_drive_leave(uint64_t session, bool link_held);
void web_drive_check(double now, bool link_held);
// The console stops: a driving browser's command ends in the neutral state and every record is dropped.
void web_drive_reset(bool link_held);

// WM_WEB_DRIVE, WM_WEB_STOP, WM_WEB_LEAVE from the window procedure.
void web_drive_message(unsigned int message, uintptr_t wparam, intptr_t lparam);
// The 10 ms tick: the silence and idle rules, and the published driver.
void web_check();

const char* web_driver_name(web_driver_kind kind);

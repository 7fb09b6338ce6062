// Browser driving on the window thread, applied like the operator link's commands: remote mode set, the
// keyboard's motion table, the robot's own mixing and ramp.
#include "web/web_drive.h"

#include "app/time.h"
#include "app/utility.h"
#include "console/display.h"
#include "console/input.h"
#include "console/joystick.h"
#include "net/network.h"
#include "robot/robot.h"
#include "web/web_messages.h"
#include "web/web_server.h"

#include <map>

std::atomic<uint64_t> web_driver_session{0};
std::atomic<int> web_driver_now{static_cast<int>(web_driver_kind::none)};
std::atomic<bool> web_remote_now{false};

namespace {

// What the window thread knows of a browser that has sent something.
struct browser_type {
    unsigned int keys = 0;  // the directions its last drive message held
    bool blocked = false;   // held something when a STOP came: ignored until it releases everything
};

constexpr unsigned int values_held = 0x10;   // in place of directions: the driver's values ask for motion
constexpr intptr_t values_flag = intptr_t(1) << 40;  // WM_WEB_DRIVE carries values, not directions
constexpr double values_scale = 10000.0;          // a packed value's steps per unit

uint64_t driver = 0;                   // the driving browser's session, 0 for none
double driver_forward = 0.0;           // the values applied with values_held
double driver_turn = 0.0;
double message_forward = 0.0;          // the values of the message being taken
double message_turn = 0.0;
unsigned int driver_keys = 0;          // the directions applied for it; 0 once the robot is neutral
double last_message = 0.0;             // time of the driver's last drive message
double last_held = 0.0;                // time of its last drive message that held a direction
std::map<uint64_t, browser_type> browsers;  // at most the open sessions: each one's leave removes it

void apply(unsigned int keys)
{
    driver_keys = keys;
    remote_mode = true;
    if (keys == 0) {
        robot.reset_control();
        return;
    }
    if (keys == values_held) {
        driver_forward = message_forward;
        driver_turn = message_turn;
        robot.set_drive(driver_forward, driver_turn);
        input_check();
        return;
    }
    motion_type motion = choose_motion(keys & web_key_w, keys & web_key_s, keys & web_key_a, keys & web_key_d);
    robot.set_motion(motion.turn, motion.forward);
    input_check();  // one ramp step at once, as a key press at the robot takes
}

void let_go(bool link_held)
{
    log("Web console: browser %llu no longer drives", static_cast<unsigned long long>(driver));
    driver = 0;
    driver_keys = 0;
    remote_mode = link_held;
}

bool keyboard_drives()
{
    if (remote_mode || robot.get_auto_mode())
        return false;
    return keys['W'] || keys['A'] || keys['S'] || keys['D'] || joystick.up || joystick.down || joystick.left ||
           joystick.right;
}

void publish(bool link_held)
{
    web_driver_kind kind = link_held       ? web_driver_kind::link
                           : driver != 0   ? web_driver_kind::browser
                           : keyboard_drives() ? web_driver_kind::keyboard
                                               : web_driver_kind::none;
    web_driver_session = driver;
    web_driver_now = static_cast<int>(kind);
    web_remote_now = remote_mode;
}

} // namespace

void web_drive_keys(uint64_t session, unsigned int keys, double now, bool link_held)
{
    browser_type& browser = browsers[session];
    browser.keys = keys;
    if (link_held)
        return;  // the link's client drives; browsers watch
    if (browser.blocked) {
        browser.blocked = keys != 0;
        return;
    }
    if (driver != session) {
        if (driver != 0 || keys == 0)
            return;
        driver = session;
        log("Web console: browser %llu drives", static_cast<unsigned long long>(session));
    }
    last_message = now;
    if (keys != 0)
        last_held = now;
    apply(keys);
    publish(link_held);
}

void web_drive_values(uint64_t session, double forward, double turn, double now, bool link_held)
{
    message_forward = forward;
    message_turn = turn;
    web_drive_keys(session, forward != 0.0 || turn != 0.0 ? values_held : 0, now, link_held);
}

intptr_t web_drive_pack_values(double forward, double turn)
{
    auto step = [](double value) {
        return static_cast<intptr_t>(static_cast<uint16_t>(static_cast<int16_t>(value * values_scale)));
    };
    return values_flag | (step(forward) << 16) | step(turn);
}

void web_drive_stop(uint64_t session, bool link_held)
{
    robot.reset_control();
    log("Web console: STOP from browser %llu", static_cast<unsigned long long>(session));
    for (auto& [id, browser] : browsers)
        browser.blocked = browser.keys != 0;
    if (driver != 0)
        let_go(link_held);
    publish(link_held);
}

void web_drive_leave(uint64_t session, bool link_held)
{
    browsers.erase(session);
    if (driver == session) {
        robot.reset_control();
        let_go(link_held);
    }
    publish(link_held);
}

void web_drive_check(double now, bool link_held)
{
    if (driver != 0 && link_held) {
        robot.reset_control();
        let_go(link_held);
    } else if (driver != 0) {
        if (driver_keys != 0 && now - last_message > web_drive_silence) {
            add_line("Web console: the driving browser fell silent");
            robot.reset_control();
            driver_keys = 0;
        }
        if (now - last_held > web_drive_idle)
            let_go(link_held);
    }
    publish(link_held);
}

void web_drive_reset(bool link_held)
{
    if (driver != 0) {
        robot.reset_control();
        let_go(link_held);
    }
    browsers.clear();
    publish(link_held);
}

void web_drive_message(unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    uint64_t session = wparam;
    auto value = [](intptr_t packed) { return static_cast<int16_t>(packed & 0xFFFF) / values_scale; };
    if (message == WM_WEB_DRIVE && (lparam & values_flag) != 0)
        web_drive_values(session, value(lparam >> 16), value(lparam), get_time(), network_client_held());
    else if (message == WM_WEB_DRIVE)
        web_drive_keys(session, static_cast<unsigned int>(lparam) & 0x0F, get_time(), network_client_held());
    else if (message == WM_WEB_STOP)
        web_drive_stop(session, network_client_held());
    else if (message == WM_WEB_LEAVE)
        web_drive_leave(session, network_client_held());
}

void web_check()
{
    if (!web_running())
        return;
    web_drive_check(get_time(), network_client_held());
}

const char* web_driver_name(web_driver_kind kind)
{
    switch (kind) {
    case web_driver_kind::link: return "link";
    case web_driver_kind::browser: return "browser";
    case web_driver_kind::keyboard: return "keyboard";
    default: return "none";
    }
}

// The rules of who moves the robot, as plain functions of the state, one intent and the time: the operator
// link first, the person at the robot before remote drivers, one driver at a time, each kind's deadman,
// and a STOP that holds every driver that was moving until it lets go and presses again.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class driver_kind { none, link, keyboard, automode, browser, foxglove, mqtt };

// One driver: its kind, and an id that tells drivers of one kind apart (a browser's session...).
struct driver_id_type {
    driver_kind kind = driver_kind::none;
    uint64_t id = 0;
    auto operator<=>(const driver_id_type&) const = default;
};
// The id of a leave that reaches every driver of its kind (they all went at once).
constexpr uint64_t driver_every_id = UINT64_MAX;

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

// A motion command for set_motion: positive turn to the right, positive forward ahead.
struct motion_type {
    double turn;
    double forward;
};

// The keyboard's table of motions for the held directions (also the joystick's and the remote drivers'
// keys). Forward wins over backward, and left over right; W or S alone carry a slight turn.
motion_type choose_motion(bool forward, bool backward, bool left, bool right);

constexpr int motion_record_length = 7;  // the operator link's control record

enum class intent_action {
    drive,         // a remote driver's drive command, holding or not
    stop,          // STOP, from anyone
    leave,         // a remote driver is gone
    link_connect,  // the operator link holds a new client
    link_record,   // the link's client sent a control record
    link_fault,    // a reply to the link's client failed: its motion ends, nothing more
    link_lost,     // the link's client is gone
    keys,          // the directions held at the robot's keyboard and joystick (command.keys)
    focus_lost,    // the status window lost the keyboard focus
    auto_mode,     // the automatic mode is switched on (command.keys != 0) or off
    auto_record,   // the automatic mode's targets, as a control record
};

// What a driver asks for, with its place in the order of arrival.
struct intent_type {
    driver_id_type who;
    intent_action action = intent_action::drive;
    drive_command_type command;
    unsigned char record[motion_record_length] = {};  // link_record, auto_record
    bool keep_directions = false;                       // auto_record: only the targets change
    uint64_t order = 0;
};

// What the robot is told: nothing (the neutral record), a mix of turn and forward (set_motion), a
// control record (the link's: targets, directions and pass-through bytes), or the automatic mode's
// targets and directions alone (the record's bytes 1 to 3).
struct motion_command_type {
    enum class form_type { neutral, mix, record, targets };
    form_type form = form_type::neutral;
    double turn = 0.0;
    double forward = 0.0;
    unsigned char record[motion_record_length] = {};
    bool keep_directions = false;  // targets: the directions stay as they are
    bool moves() const;
    bool operator==(const motion_command_type&) const;
};

// A remote driver the rules have heard from (browser, Foxglove client, MQTT operator).
struct motion_remote_type {
    drive_command_type command;  // its newest drive
    bool held = false;           // held by a STOP or a takeover: ignored until it lets go
    double last_notice = -1e9;   // when it was last told why it was refused
};

struct motion_state_type {
    driver_id_type current;                  // who drives (none, the link, the keyboard, automode, a remote)
    motion_command_type command;             // what the robot is told now
    bool link_connected = false;             // the operator link holds a client
    bool link_held = false;                  // a STOP holds the link until it sends a neutral record
    bool link_silent = false;                // the link's silence has been reported and the robot stopped
    bool link_moving = false;                // the link's newest record asks for motion
    double link_last_record = 0.0;           // its newest record, or the accept
    unsigned int keyboard_keys = 0;          // directions held at the robot
    bool keyboard_held = false;              // a STOP came while they drove: they wait until all are released
    bool auto_mode = false;                  // the automatic mode is on
    bool remote_moving = false;              // the current remote driver's motion is applied
    double remote_last_message = 0.0;        // its newest drive
    double remote_last_held = 0.0;           // its newest drive that held something
    std::map<driver_id_type, motion_remote_type> remotes;  // the remote drivers heard from and not gone
};

// What a step tells the world besides the new state.
struct motion_notice_type {
    driver_id_type who;
    std::string text;
};
struct motion_output_type {
    std::vector<std::string> log_lines;        // for the log
    std::vector<std::string> message_lines;    // for the status display and the log
    std::vector<motion_notice_type> refusals;  // a driver whose intent was refused, and why (once a second)
};

constexpr double motion_full_speed = 0.39;     // a side's target at full proportional command, of the scale
constexpr double motion_remote_deadman = 0.5;  // seconds without a drive before a remote driver's motion ends
constexpr double motion_remote_idle = 1.0;     // seconds without a held direction before it lets go
constexpr double motion_link_timeout = 1.0;    // seconds without a control record before the link's motion ends
constexpr double motion_notice_period = 1.0;   // at most one refusal notice a second per driver

void motion_rules_apply(motion_state_type& state, const intent_type& intent, double now, motion_output_type& out);
// The timed rules: the remote deadman and idle, the link's silence.
void motion_rules_tick(motion_state_type& state, double now, motion_output_type& out);

bool motion_is_remote(driver_kind kind);
bool motion_record_neutral(const unsigned char* record);
// The command a drive asks for: the keyboard's table for keys, proportional commands scaled to the full speed.
motion_command_type motion_drive_command(const drive_command_type& command);
const char* driver_name(driver_kind kind);
// "browser 3", "the operator link", "the robot's keyboard"...
std::string driver_label(const driver_id_type& who);

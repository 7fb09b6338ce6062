// The rules of who moves the robot. Every change of the robot's motion is decided here and nowhere else.
#include "robot/motion_rules.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

using form = motion_command_type::form_type;

constexpr size_t stop_line_names = 3;  // drivers named in a STOP's line; the rest are counted

// A line as the log and the status display show it (format strings, so that a line can be found in the code).
std::string line_of(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string line_of(const char* format, ...)
{
    char text[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

double unit_value(double value)
{
    if (!std::isfinite(value))
        return 0.0;
    return value > 1.0 ? 1.0 : value < -1.0 ? -1.0 : value;
}

motion_command_type mix(double turn, double forward)
{
    motion_command_type command;
    command.form = form::mix;
    command.turn = turn;
    command.forward = forward;
    return command;
}

motion_command_type record_command(const unsigned char* record)
{
    motion_command_type command;
    command.form = form::record;
    std::memcpy(command.record, record, motion_record_length);
    return command;
}

// Forward and turn share one budget, so that no side passes the full speed; straight ahead is straight.
motion_command_type proportional_command(double forward, double turn)
{
    forward = unit_value(forward);
    turn = unit_value(turn);
    double sum = std::fabs(forward) + std::fabs(turn);
    if (sum > 1.0) {
        forward /= sum;
        turn /= sum;
    }
    return mix(motion_full_speed * turn, motion_full_speed * forward / 2.0);
}

// The current remote driver gives the robot up; the robot goes back to nobody.
void let_go(motion_state_type& state, motion_output_type& out)
{
    out.log_lines.push_back(line_of("Drivers: %s no longer drives", driver_label(state.current).c_str()));
    state.current = {};
    state.remote_moving = false;
}

// Remote drivers holding a direction when they lose the robot must let go and press again before they drive.
void hold_remote_movers(motion_state_type& state, std::vector<std::string>* named)
{
    for (auto& [who, remote] : state.remotes) {
        if (remote.held || !remote.command.holds())
            continue;
        remote.held = true;
        if (named != nullptr)
            named->push_back(driver_label(who));
    }
}

void end_remote(motion_state_type& state, motion_output_type& out)
{
    if (motion_is_remote(state.current.kind))
        let_go(state, out);
}

void refuse(motion_state_type& state, const driver_id_type& who, std::string text, double now, motion_output_type& out)
{
    motion_remote_type& remote = state.remotes[who];
    if (now - remote.last_notice < motion_notice_period)
        return;
    remote.last_notice = now;
    out.refusals.push_back({who, std::move(text)});
}

// Why a remote driver may not take the robot now, or nothing when it may. held: it must press again later.
std::string blocker(const motion_state_type& state, const driver_id_type& who, bool* held)
{
    *held = true;
    if (state.link_connected)
        return "the operator link drives the robot; you watch";
    if (state.auto_mode)
        return "the automatic mode drives the robot; you watch";
    if (state.current.kind == driver_kind::keyboard)
        return "the robot's keyboard drives the robot; you watch";
    *held = false;
    if (motion_is_remote(state.current.kind) && state.current != who)
        return driver_label(state.current) + " drives the robot; you can drive once it lets go";
    return {};
}

void apply_drive(motion_state_type& state, const intent_type& intent, double now, motion_output_type& out)
{
    const driver_id_type& who = intent.who;
    motion_remote_type& remote = state.remotes[who];
    remote.command = intent.command;
    bool holds = intent.command.holds();
    if (remote.held) {
        remote.held = holds;  // a release sets it free to press again
        if (holds)
            refuse(state, who, "a STOP holds you: let go, then press again to drive", now, out);
        return;
    }
    bool hold = false;
    if (std::string why = blocker(state, who, &hold); !why.empty()) {
        if (holds) {
            remote.held = hold;
            refuse(state, who, why, now, out);
        }
        return;
    }
    if (state.current != who) {
        if (!holds)
            return;
        state.current = who;
        out.log_lines.push_back(line_of("Drivers: %s drives", driver_label(who).c_str()));
    }
    state.remote_last_message = now;
    if (holds)
        state.remote_last_held = now;
    state.remote_moving = holds;
    state.command = motion_drive_command(intent.command);
}

std::string join_names(const std::vector<std::string>& names)
{
    std::string text;
    size_t shown = names.size() > stop_line_names ? stop_line_names - 1 : names.size();
    for (size_t i = 0; i < shown; i++)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    if (shown < names.size())
        text += " and " + std::to_string(names.size() - shown) + " more";
    return text;
}

// One message line: who the STOP holds and how each goes on.
std::string stop_line(const driver_id_type& from, bool link, const std::vector<std::string>& others, bool automode)
{
    std::string line = "STOP from " + driver_label(from) + ":";
    if (link)
        line += " the operator link is held until it sends a neutral control record;";
    if (!others.empty())
        line += " " + join_names(others) + (others.size() == 1 ? " is" : " are") +
                " held until they let go and press again;";
    if (automode)
        line += " the automatic mode is off (M turns it on);";
    line.back() = '.';
    return line;
}

void apply_stop(motion_state_type& state, const intent_type& intent, motion_output_type& out)
{
    bool link = state.link_connected && state.link_moving && !state.link_held;
    state.link_held = state.link_held || link;
    std::vector<std::string> others;
    if (state.current.kind == driver_kind::keyboard) {
        state.keyboard_held = true;
        others.push_back(driver_label(state.current));
    }
    hold_remote_movers(state, &others);
    bool automode = state.auto_mode;
    state.auto_mode = false;
    end_remote(state, out);
    if (state.current.kind != driver_kind::link)
        state.current = {};
    state.command = {};
    if (link || automode || !others.empty())
        out.message_lines.push_back(stop_line(intent.who, link, others, automode));
}

void apply_leave(motion_state_type& state, const intent_type& intent, motion_output_type& out)
{
    const driver_id_type& who = intent.who;
    bool every = who.id == driver_every_id;
    std::erase_if(state.remotes, [&](const auto& entry) { return entry.first == who || (every && entry.first.kind == who.kind); });
    if (state.current != who && !(every && state.current.kind == who.kind))
        return;
    state.command = {};
    let_go(state, out);
}

void apply_link_connect(motion_state_type& state, double now, motion_output_type& out)
{
    // The link drives before anyone else: whoever drove stops, and remote drivers that held press again.
    hold_remote_movers(state, nullptr);
    end_remote(state, out);
    state.link_connected = true;
    state.link_held = false;
    state.link_silent = false;
    state.link_moving = false;
    state.link_last_record = now;
    state.current = {driver_kind::link, 0};
    state.command = {};
}

void apply_link_record(motion_state_type& state, const intent_type& intent, double now)
{
    if (!state.link_connected)
        return;
    state.link_last_record = now;
    state.link_silent = false;
    bool neutral = motion_record_neutral(intent.record);
    state.link_moving = !neutral;
    if (state.link_held && !neutral)
        return;  // held by a STOP: the replies go on, the motion waits for a neutral record
    state.link_held = false;
    state.command = record_command(intent.record);
}

void apply_link_lost(motion_state_type& state)
{
    state.link_connected = false;
    state.link_held = false;
    state.link_silent = false;
    state.link_moving = false;
    if (state.current.kind == driver_kind::link)
        state.current = state.auto_mode ? driver_id_type{driver_kind::automode, 0} : driver_id_type{};
    state.command = {};
}

void apply_keys(motion_state_type& state, unsigned int keys, motion_output_type& out)
{
    state.keyboard_keys = keys;
    if (state.keyboard_held) {
        state.keyboard_held = keys != 0;  // held by a STOP until every direction is released
        return;
    }
    if (state.link_connected || state.auto_mode)
        return;  // standing aside: the keys are kept, the next key or stick event applies them
    if (keys == 0) {
        if (state.current.kind == driver_kind::keyboard || state.current.kind == driver_kind::none) {
            state.current = {};
            state.command = {};
        }
        return;
    }
    if (motion_is_remote(state.current.kind)) {
        out.log_lines.push_back(line_of("Drivers: the robot's keyboard takes over from %s", driver_label(state.current).c_str()));
        let_go(state, out);
        hold_remote_movers(state, nullptr);
    }
    drive_command_type command;
    command.keys = keys;
    state.current = {driver_kind::keyboard, 0};
    state.command = motion_drive_command(command);
}

void apply_focus_lost(motion_state_type& state)
{
    state.keyboard_keys = 0;
    state.keyboard_held = false;
    if (state.current.kind == driver_kind::keyboard)
        state.current = {};
    state.remote_moving = false;
    state.command = {};
}

void apply_auto_mode(motion_state_type& state, bool on, motion_output_type& out)
{
    bool was = state.auto_mode;
    state.auto_mode = on;
    if (!on) {
        // Switching off always stops, whoever drives; the link's next record drives again.
        if (state.current.kind == driver_kind::automode)
            state.current = {};
        state.command = {};
        return;
    }
    if (was || state.link_connected)
        return;
    // Switched on, the automatic mode drives: the last command of whoever drove must not run on.
    hold_remote_movers(state, nullptr);
    end_remote(state, out);
    state.current = {driver_kind::automode, 0};
    state.command = {};
}

void apply_auto_record(motion_state_type& state, const intent_type& intent)
{
    if (!state.auto_mode || state.link_connected)
        return;
    state.current = {driver_kind::automode, 0};
    state.command = record_command(intent.record);
    state.command.form = form::targets;
    state.command.keep_directions = intent.keep_directions;
}

} // namespace

bool drive_command_type::holds() const
{
    if (proportional)
        return unit_value(forward) != 0.0 || unit_value(turn) != 0.0;
    return (keys & (drive_key_w | drive_key_a | drive_key_s | drive_key_d)) != 0;
}

bool motion_command_type::moves() const
{
    if (form == form::mix)
        return turn != 0.0 || forward != 0.0;
    return (form == form::record || form == form::targets) && !motion_record_neutral(record);
}

bool motion_command_type::operator==(const motion_command_type& other) const
{
    return form == other.form && turn == other.turn && forward == other.forward &&
           keep_directions == other.keep_directions && std::memcmp(record, other.record, motion_record_length) == 0;
}

void motion_rules_apply(motion_state_type& state, const intent_type& intent, double now, motion_output_type& out)
{
    switch (intent.action) {
    case intent_action::drive: apply_drive(state, intent, now, out); break;
    case intent_action::stop: apply_stop(state, intent, out); break;
    case intent_action::leave: apply_leave(state, intent, out); break;
    case intent_action::link_connect: apply_link_connect(state, now, out); break;
    case intent_action::link_record: apply_link_record(state, intent, now); break;
    case intent_action::link_fault:
        if (state.current.kind == driver_kind::link)
            state.command = {};
        break;
    case intent_action::link_lost: apply_link_lost(state); break;
    case intent_action::keys: apply_keys(state, intent.command.keys, out); break;
    case intent_action::focus_lost: apply_focus_lost(state); break;
    case intent_action::auto_mode: apply_auto_mode(state, intent.command.keys != 0, out); break;
    case intent_action::auto_record: apply_auto_record(state, intent); break;
    }
}

void motion_rules_tick(motion_state_type& state, double now, motion_output_type& out)
{
    if (state.link_connected && !state.link_silent && now - state.link_last_record > motion_link_timeout) {
        // Said once per silence; the robot stands until the next record.
        out.message_lines.push_back("Client data Timeout");
        state.link_silent = true;
        if (state.current.kind == driver_kind::link)
            state.command = {};
    }
    if (!motion_is_remote(state.current.kind))
        return;
    if (state.remote_moving && now - state.remote_last_message > motion_remote_deadman) {
        out.message_lines.push_back(line_of("Drivers: the driving %s fell silent", driver_name(state.current.kind)));
        state.command = {};
        state.remote_moving = false;
    }
    if (now - state.remote_last_held > motion_remote_idle)
        let_go(state, out);
}

bool motion_is_remote(driver_kind kind)
{
    return kind == driver_kind::browser || kind == driver_kind::foxglove || kind == driver_kind::mqtt;
}

bool motion_record_neutral(const unsigned char* record)
{
    return record[2] == 0 && record[3] == 0;
}

motion_command_type motion_drive_command(const drive_command_type& command)
{
    if (!command.holds())
        return {};
    if (command.proportional)
        return proportional_command(command.forward, command.turn);
    unsigned int keys = command.keys;
    motion_type motion = choose_motion(keys & drive_key_w, keys & drive_key_s, keys & drive_key_a, keys & drive_key_d);
    return mix(motion.turn, motion.forward);
}

motion_type choose_motion(bool forward, bool backward, bool left, bool right)
{
    if (forward)
        return {left ? -0.145 : right ? 0.19 : 0.045, 0.1};
    if (backward)
        return {left ? 0.145 : right ? -0.145 : 0.045, -0.1};
    return {left ? -0.145 : right ? 0.145 : 0.0, 0.0};
}

const char* driver_name(driver_kind kind)
{
    switch (kind) {
    case driver_kind::link: return "link";
    case driver_kind::keyboard: return "keyboard";
    case driver_kind::automode: return "automode";
    case driver_kind::browser: return "browser";
    case driver_kind::foxglove: return "foxglove";
    case driver_kind::mqtt: return "mqtt";
    default: return "none";
    }
}

std::string driver_label(const driver_id_type& who)
{
    switch (who.kind) {
    case driver_kind::link: return "the operator link";
    case driver_kind::keyboard: return "the robot's keyboard";
    case driver_kind::automode: return "the automatic mode";
    case driver_kind::none: return "nobody";
    default: return std::string(driver_name(who.kind)) + " " + std::to_string(who.id);
    }
}

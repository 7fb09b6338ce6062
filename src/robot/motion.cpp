// The motion authority: intents in, by the rules, out to the control record, the log and the drivers.
#include "robot/motion.h"

#include "services/log.h"
#include "services/message_lines.h"
#include "robot/drivers.h"
#include "robot/robot.h"

#include <map>

namespace {

constexpr double ramp_rate = 2.0;  // per second: a time constant of half a second

struct authority_type {
    motion_state_type rules;                                  // who drives and what the robot is told
    motion_command_type written;                              // the command last written to the record
    double last_ramp = 0.0;                                   // the previous ramp step
    bool ramped = false;                                      // a ramp step has run: last_ramp holds a time
    std::map<driver_kind, motion_notice_listener> listeners;  // how refused drivers of each kind are told
};

authority_type authority;  // window thread only

void report(const motion_output_type& out)
{
    for (const std::string& line : out.log_lines)
        log_write("%s", line.c_str());
    for (const std::string& line : out.message_lines)
        add_line("%s", line.c_str());
    for (const motion_notice_type& notice : out.refusals) {
        auto listener = authority.listeners.find(notice.who.kind);
        if (listener != authority.listeners.end() && listener->second)
            listener->second(notice.who.id, notice.text);
    }
}

// The automatic mode's command touches the targets and directions alone.
void write_targets(const motion_command_type& command)
{
    robot.change_control([&command](control_type& control) {
        control.left_target = command.record[2];
        control.right_target = command.record[3];
        if (command.keep_directions)
            return;
        control.left_reverse = (command.record[1] & 0x01) != 0;
        control.right_reverse = (command.record[1] & 0x02) != 0;
    });
}

// The control record follows the rules' command; the only writes of it in the program. After intents
// it is written again even when unchanged, as every control message sets the record.
bool write_command(bool again)
{
    const motion_state_type& rules = authority.rules;
    if (rules.auto_mode != robot.get_auto_mode())
        robot.set_auto_mode(rules.auto_mode);
    if (rules.command == authority.written && !again)
        return false;
    const motion_command_type& command = rules.command;
    switch (command.form) {
    case motion_command_type::form_type::neutral: robot.reset_control(); break;
    case motion_command_type::form_type::mix: robot.set_motion(command.turn, command.forward); break;
    case motion_command_type::form_type::record: robot.set_control(command.record); break;
    case motion_command_type::form_type::targets: write_targets(command); break;
    }
    authority.written = command;
    return true;
}

void ramp_step(double now)
{
    if (!authority.ramped) {
        authority.last_ramp = now;
        authority.ramped = true;
    }
    double dt = now - authority.last_ramp;
    authority.last_ramp = now;
    motion_ramp(dt > 0.0 ? dt : 0.0);
}

void publish()
{
    const motion_state_type& rules = authority.rules;
    remote_mode = rules.link_connected || motion_is_remote(rules.current.kind);
    drivers_publish(rules.current, remote_mode, rules.link_connected);
}

// After the rules have run: the world hears of it, the record follows, and the ramp takes a step, so
// that a new motion starts at once.
void finish(const motion_output_type& out, double now, bool intents)
{
    report(out);
    write_command(intents);
    ramp_step(now);
    publish();
}

// A rising speed closes the gap gradually; a falling one is set to its target. Neither passes the
// target, however long the pause between two steps.
double ramp_speed(double speed, double target, double dt)
{
    if (speed >= target)
        return target;
    double next = speed + ramp_rate * (target - speed) * dt;
    return next > target ? target : next;
}

} // namespace

void motion_apply(double now)
{
    std::vector<intent_type> intents = drivers_take();
    if (intents.empty())
        return;
    motion_output_type out;
    for (const intent_type& intent : intents)
        motion_rules_apply(authority.rules, intent, now, out);
    finish(out, now, true);
}

void motion_check(double now)
{
    drivers_report_stops();
    motion_output_type out;
    motion_rules_tick(authority.rules, now, out);
    finish(out, now, false);
}

void motion_submit(const intent_type& intent, double now)
{
    drivers_submit(intent);
    motion_apply(now);
}

void motion_listen(driver_kind kind, motion_notice_listener listener)
{
    authority.listeners[kind] = std::move(listener);
}

void motion_ramp(double dt)
{
    // One hold of the lock, so that no change of the record is lost between the read and the write.
    robot.change_control([dt](control_type& control) {
        control.left_speed = ramp_speed(control.left_speed, control.left_target, dt);
        control.right_speed = ramp_speed(control.right_speed, control.right_target, dt);
    });
}

const motion_state_type& motion_state()
{
    return authority.rules;
}

void motion_reset()
{
    drivers_take();
    auto listeners = std::move(authority.listeners);
    authority = authority_type{};
    authority.listeners = std::move(listeners);
    robot.set_auto_mode(false);
    robot.reset_control();
    publish();
}

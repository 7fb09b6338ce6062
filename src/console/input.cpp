// Keyboard driving: the held-key table, the mode and reset keys, the motion table shared with the
// joystick, and the speed ramp.
#include "console/input.h"

#include "app/time.h"
#include "console/joystick.h"
#include "platform/messages.h"
#include "robot/drivers.h"
#include "robot/robot.h"

#include <cstring>

bool keys[256];

namespace {

constexpr unsigned int key_forward = 0x57;   // W
constexpr unsigned int key_backward = 0x53;  // S
constexpr unsigned int key_left = 0x41;      // A
constexpr unsigned int key_right = 0x44;     // D
constexpr unsigned int key_mode = 0x4D;      // M
constexpr unsigned int key_reset = 0x52;     // R

constexpr double ramp_rate = 2.0;  // per second: a time constant of half a second

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

motion_type choose_motion(bool forward, bool backward, bool left, bool right)
{
    if (forward)
        return {left ? -0.145 : right ? 0.19 : 0.045, 0.1};
    if (backward)
        return {left ? 0.145 : right ? -0.145 : 0.045, -0.1};
    return {left ? -0.145 : right ? 0.145 : 0.0, 0.0};
}

void input_key_down(unsigned int key, long flags)
{
    if (flags & KEY_REPEAT_BIT)
        return;
    keys[key & 0xFF] = true;
    // The table, not this message's key: while M or R is held every fresh press repeats its action.
    if (keys[key_mode])
        robot.set_auto_mode(!robot.get_auto_mode());
    if (keys[key_reset])
        reset_vals();
    input_update();
}

void input_key_up(unsigned int key)
{
    keys[key & 0xFF] = false;
    input_update();
}

void input_lose_focus()
{
    // A key released while another window has the focus sends no key-up here: a key left marked as held
    // would drive the robot off at the next key or joystick event.
    std::memset(keys, 0, sizeof keys);
    if (drivers_keyboard(false))
        robot.reset_control();
}

void input_update()
{
    if (robot.get_auto_mode())
        return;
    bool forward = keys[key_forward] || joystick.up;
    bool backward = keys[key_backward] || joystick.down;
    bool left = keys[key_left] || joystick.left;
    bool right = keys[key_right] || joystick.right;
    // The person at the robot is a driver too: the table says whether the keys may drive now.
    if (!drivers_keyboard(forward || backward || left || right))
        return;
    motion_type motion = choose_motion(forward, backward, left, right);
    robot.set_motion(motion.turn, motion.forward);
    input_check();
}

void input_check()
{
    static bool started = false;
    static double last_time = 0.0;
    double now = get_time();
    if (!started) {
        last_time = now;
        started = true;
    }
    double dt = now - last_time;
    last_time = now;
    input_ramp(dt);
}

void input_ramp(double dt)
{
    // One hold of the lock, so a target or direction another thread sets meanwhile is not lost.
    robot.change_control([dt](control_type& control) {
        control.left_speed = ramp_speed(control.left_speed, control.left_target, dt);
        control.right_speed = ramp_speed(control.right_speed, control.right_target, dt);
    });
}

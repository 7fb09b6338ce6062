// Keyboard driving: the held-key table, the mode key, and the keyboard's intents.
#include "console/input.h"

#include "services/time.h"
#include "console/joystick.h"
#include "platform/messages.h"
#include "robot/motion.h"
#include "robot/robot.h"

#include <cstring>

bool keys[256];

namespace {

constexpr unsigned int key_forward = 0x57;   // W
constexpr unsigned int key_backward = 0x53;  // S
constexpr unsigned int key_left = 0x41;      // A
constexpr unsigned int key_right = 0x44;     // D
constexpr unsigned int key_mode = 0x4D;      // M

void submit(intent_action action, unsigned int keys)
{
    intent_type intent;
    intent.who = {driver_kind::keyboard, 0};
    intent.action = action;
    intent.command.keys = keys;
    motion_submit(intent, get_time());
}

} // namespace

void input_key_down(unsigned int key, long flags)
{
    if (flags & KEY_REPEAT_BIT)
        return;
    keys[key & 0xFF] = true;
    // The table, not this message's key: while M is held every fresh press toggles again.
    if (keys[key_mode])
        submit(intent_action::auto_mode, robot.get_auto_mode() ? 0 : 1);
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
    submit(intent_action::focus_lost, 0);
}

void input_update()
{
    unsigned int held = 0;
    if (keys[key_forward] || joystick.up)
        held |= drive_key_w;
    if (keys[key_backward] || joystick.down)
        held |= drive_key_s;
    if (keys[key_left] || joystick.left)
        held |= drive_key_a;
    if (keys[key_right] || joystick.right)
        held |= drive_key_d;
    submit(intent_action::keys, held);
}

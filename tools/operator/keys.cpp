// What each key of the terminal asks of the robot.
#include "keys.h"

#include "protocol.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

unsigned char side_target(double value)
{
    return static_cast<unsigned char>(std::lround(240.0 * std::fabs(std::clamp(value, -1.0, 1.0))));
}

} // namespace

motion_type keys_mix(double turn, double forward, const char* name)
{
    double left = 2.0 * forward + turn;
    double right = 2.0 * forward - turn;
    motion_type motion;
    motion.flags = static_cast<unsigned char>((left < 0 ? protocol_left_reverse : 0) |
                                              (right < 0 ? protocol_right_reverse : 0));
    motion.left = side_target(left);
    motion.right = side_target(right);
    motion.name = name;
    return motion;
}

key_action keys_action(int key, motion_type* motion)
{
    // The turns below are the robot's keyboard values: W and S alone carry a slight turn as well.
    switch (std::tolower(key)) {
    case 'w':
        *motion = keys_mix(0.045, 0.1, "forward");
        return key_action::drive;
    case 's':
        *motion = keys_mix(0.045, -0.1, "backward");
        return key_action::drive;
    case 'a':
        *motion = keys_mix(-0.145, 0.0, "left");
        return key_action::drive;
    case 'd':
        *motion = keys_mix(0.145, 0.0, "right");
        return key_action::drive;
    case ' ':
        *motion = keys_mix(0.0, 0.0, "stop");
        return key_action::drive;
    case 'p':
        return key_action::picture;
    case 'q':
    case 0x1B:  // Esc
    case 0x03:  // Ctrl-C
    case 0x04:  // Ctrl-D
    case 0x1C:  // Ctrl-backslash
        return key_action::quit;
    default:
        return key_action::none;
    }
}

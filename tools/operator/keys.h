// What each key of the terminal asks of the robot: the same targets and directions as the robot's
// own keyboard driving, held until another key changes them.
#pragma once

struct motion_type {
    unsigned char flags = 0;  // bit 0 left reverse, bit 1 right reverse
    unsigned char left = 0;   // left target, 0 to 255
    unsigned char right = 0;  // right target
    const char* name = "stop";
};

enum class key_action { none, drive, picture, quit };

// Turns one key into an action; for drive, motion receives the new targets.
key_action keys_action(int key, motion_type* motion);

// Mixes a turn and a forward command into targets as the robot does: left = 2 forward + turn,
// right = 2 forward - turn, each limited to -1 ... 1, target = 240 times the magnitude (rounded to a
// whole number here), reverse when negative.
motion_type keys_mix(double turn, double forward, const char* name);

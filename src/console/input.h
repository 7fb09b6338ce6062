// Keyboard driving and the speed ramp that every driver of the robot relies on.
#pragma once

extern bool keys[256];  // held keys, by the low 8 bits of the virtual-key code

// A motion command for set_motion: positive turn to the right, positive forward ahead.
struct motion_type {
    double turn;
    double forward;
};

// The keyboard's table of motions for the held directions (also the joystick's and the web console's).
// Forward wins over backward, and left over right; W or S alone carry a slight turn.
motion_type choose_motion(bool forward, bool backward, bool left, bool right);

void input_key_down(unsigned int key, long flags);
void input_key_up(unsigned int key);
void input_lose_focus();
// Turns the held keys and joystick directions into a motion command, then runs one ramp step.
void input_update();
// One ramp step over the time since the previous one.
void input_check();
// One ramp step over dt seconds: each applied speed moves towards its target at a rate of 2 per second
// and never past it; a lower target is taken at once.
void input_ramp(double dt);

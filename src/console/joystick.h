// Joystick driving: joystick 1 as a four-way switch around the position it had when it was taken up (at
// start-up, or when it was attached later).
#pragma once

struct joystick_type {
    double x = 0.0;          // last polled X position, fraction of full scale
    double x_center = 0.0;   // X position at start-up
    double y = 0.0;          // last polled Y position
    double y_center = 0.0;   // Y position at start-up
    bool up = false;         // pushed away from the user
    bool down = false;       // pulled towards the user
    bool left = false;       // pushed to the left
    bool right = false;      // pushed to the right
};

extern bool joystick_ok;       // a working joystick has been taken up (at start-up or attached later)
extern joystick_type joystick;

void joystick_start();
void joystick_check();

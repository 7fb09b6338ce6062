// Keyboard driving: the held-key table and the mode key. The held directions of the keys and the joystick
// go to the motion authority as the keyboard's intent.
#pragma once

extern bool keys[256];  // held keys, by the low 8 bits of the virtual-key code

void input_key_down(unsigned int key, long flags);
void input_key_up(unsigned int key);
// The window lost the focus: the robot stops, whoever drives, and the held keys are forgotten.
void input_lose_focus();
// Turns the held keys and joystick directions into the keyboard's intent.
void input_update();

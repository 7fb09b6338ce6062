// Keyboard driving and the speed ramp that every driver of the robot relies on.
#pragma once

extern bool keys[256];  // held keys, by the low 8 bits of the virtual-key code

void input_key_down(unsigned int key, long flags);
void input_key_up(unsigned int key);
void input_lose_focus();
void input_update();
void input_check();

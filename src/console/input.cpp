// Keyboard driving (built with the robot state).
#include "console/input.h"

bool keys[256];

void input_key_down(unsigned int, long) {}
void input_key_up(unsigned int) {}
void input_lose_focus() {}
void input_update() {}
void input_check() {}

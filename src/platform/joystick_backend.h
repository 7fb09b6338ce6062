// What the joystick service and its backend share inside the platform layer; not for application code.
#pragma once

#include "platform/joystick.h"

// The real device (SDL2).
unsigned int joystick_backend_count();
unsigned int joystick_backend_manufacturer();
joystick_result joystick_backend_position(unsigned int* x, unsigned int* y);

// The test double.
bool joystick_double_selected();
unsigned int joystick_double_count();
unsigned int joystick_double_manufacturer();
joystick_result joystick_double_position(unsigned int* x, unsigned int* y);

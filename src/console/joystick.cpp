// Joystick driving (built with the robot state).
#include "console/joystick.h"

bool joystick_ok = false;
joystick_type joystick;

void joystick_start() {}
void joystick_check() {}

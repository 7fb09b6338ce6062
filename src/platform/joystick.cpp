// The joystick service: answers from the test double while it is selected, from the real device otherwise.
#include "platform/joystick.h"

#include "platform/joystick_backend.h"

unsigned int joystick_device_count()
{
    return joystick_double_selected() ? joystick_double_count() : joystick_backend_count();
}

unsigned int joystick_device_manufacturer()
{
    return joystick_double_selected() ? joystick_double_manufacturer() : joystick_backend_manufacturer();
}

joystick_result joystick_device_position(unsigned int* x, unsigned int* y)
{
    return joystick_double_selected() ? joystick_double_position(x, y) : joystick_backend_position(x, y);
}

// The joystick backend on Windows: joystick 1 (JOYSTICKID1) through the multimedia joystick functions,
// whose axes are already unsigned 16-bit positions.
#include "platform/joystick_backend.h"

#include "platform/win32/internal.h"

unsigned int joystick_backend_count()
{
    return joyGetNumDevs();
}

unsigned int joystick_backend_manufacturer()
{
    JOYCAPSA caps{};
    if (joyGetDevCapsA(JOYSTICKID1, &caps, sizeof caps) != JOYERR_NOERROR)
        return 0;
    return caps.wMid;
}

joystick_result joystick_backend_position(unsigned int* x, unsigned int* y)
{
    JOYINFOEX info{};
    info.dwSize = sizeof info;
    info.dwFlags = JOY_RETURNX | JOY_RETURNY;
    // Unplugged, or any other refusal: either way there is no position to report.
    if (joyGetPosEx(JOYSTICKID1, &info) != JOYERR_NOERROR)
        return joystick_unplugged;
    *x = info.dwXpos;
    *y = info.dwYpos;
    return joystick_read;
}

// The multimedia joystick functions offer no virtual device: tests that want one skip on Windows.
bool joystick_virtual_attach(unsigned short)
{
    return false;
}

void joystick_virtual_move(short, short)
{
}

void joystick_virtual_detach()
{
}

// The joystick test double: a joystick 1 that tests plug in, move and pull out.
#include "platform/joystick_backend.h"

namespace {

constexpr unsigned int driver_slots = 16;
constexpr unsigned int axis_limit = 65535;

bool selected = false;
unsigned int slots = driver_slots;
bool plugged = false;
unsigned int manufacturer = 0;
unsigned int position_x = 0;
unsigned int position_y = 0;
unsigned int calls = 0;

unsigned int axis(unsigned int value)
{
    return value > axis_limit ? axis_limit : value;
}

} // namespace

void joystick_double_select(bool on)
{
    selected = on;
    slots = driver_slots;
    plugged = false;
    manufacturer = 0;
    position_x = 0;
    position_y = 0;
    calls = 0;
}

void joystick_double_slots(unsigned int count)
{
    slots = count;
}

void joystick_double_plug(unsigned int id, unsigned int x, unsigned int y)
{
    plugged = true;
    manufacturer = id;
    joystick_double_move(x, y);
}

void joystick_double_move(unsigned int x, unsigned int y)
{
    position_x = axis(x);
    position_y = axis(y);
}

void joystick_double_unplug()
{
    plugged = false;
}

unsigned int joystick_double_calls()
{
    return calls;
}

bool joystick_double_selected()
{
    return selected;
}

unsigned int joystick_double_count()
{
    calls++;
    return slots;
}

unsigned int joystick_double_manufacturer()
{
    calls++;
    return manufacturer;
}

joystick_result joystick_double_position(unsigned int* x, unsigned int* y)
{
    calls++;
    if (!plugged)
        return joystick_unplugged;
    *x = position_x;
    *y = position_y;
    return joystick_read;
}

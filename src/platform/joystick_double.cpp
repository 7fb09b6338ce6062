// The joystick test double: a joystick 1 that tests plug in, move and pull out.
#include "platform/joystick_backend.h"

namespace {

constexpr unsigned int driver_slots = 16;
constexpr unsigned int axis_limit = 65535;

// The joystick the tests move.
struct double_state_type {
    bool selected = false;
    unsigned int slots = driver_slots;
    bool plugged = false;
    unsigned int manufacturer = 0;
    unsigned int position_x = 0;
    unsigned int position_y = 0;
    unsigned int calls = 0;
};

double_state_type double_state;


unsigned int axis(unsigned int value)
{
    return value > axis_limit ? axis_limit : value;
}

} // namespace

void joystick_double_select(bool on)
{
    double_state.selected = on;
    double_state.slots = driver_slots;
    double_state.plugged = false;
    double_state.manufacturer = 0;
    double_state.position_x = 0;
    double_state.position_y = 0;
    double_state.calls = 0;
}

void joystick_double_slots(unsigned int count)
{
    double_state.slots = count;
}

void joystick_double_plug(unsigned int id, unsigned int x, unsigned int y)
{
    double_state.plugged = true;
    double_state.manufacturer = id;
    joystick_double_move(x, y);
}

void joystick_double_move(unsigned int x, unsigned int y)
{
    double_state.position_x = axis(x);
    double_state.position_y = axis(y);
}

void joystick_double_unplug()
{
    double_state.plugged = false;
}

unsigned int joystick_double_calls()
{
    return double_state.calls;
}

bool joystick_double_selected()
{
    return double_state.selected;
}

unsigned int joystick_double_count()
{
    double_state.calls++;
    return double_state.slots;
}

unsigned int joystick_double_manufacturer()
{
    double_state.calls++;
    return double_state.manufacturer;
}

joystick_result joystick_double_position(unsigned int* x, unsigned int* y)
{
    double_state.calls++;
    if (!double_state.plugged)
        return joystick_unplugged;
    *x = double_state.position_x;
    *y = double_state.position_y;
    return joystick_read;
}

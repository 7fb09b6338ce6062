// Joystick driving: the stick's offset from its start-up centre becomes four direction flags, and every
// movement hands over to keyboard driving, which mixes them with the keys.
#include "console/joystick.h"

#include "console/display.h"
#include "console/input.h"
#include "platform/joystick.h"

bool joystick_ok = false;
joystick_type joystick;

namespace {

constexpr double position_scale = 1.52587890625e-05;  // 2^-16: a raw axis value as a fraction of full travel
constexpr double dead_band = 0.25;                    // a quarter of the full travel

} // namespace

void joystick_start()
{
    joystick_ok = false;
    if (joystick_device_count() == 0) {
        add_line("Unable to start joystick driver");
        return;
    }
    if (joystick_device_manufacturer() == 0) {
        add_line("No joystick Connected");
        return;
    }
    unsigned int x = 0;
    unsigned int y = 0;
    if (joystick_device_position(&x, &y) == joystick_unplugged) {
        add_line("No joystick Connected");
        return;
    }
    joystick_ok = true;
    joystick.x_center = x * position_scale;
    joystick.y_center = y * position_scale;
    joystick.up = false;
    joystick.down = false;
    joystick.left = false;
    joystick.right = false;
}

void joystick_check()
{
    if (!joystick_ok)
        return;
    unsigned int x = 0;
    unsigned int y = 0;
    if (joystick_device_position(&x, &y) == joystick_unplugged) {
        add_line("No joystick Connected");
        return;
    }
    double nx = x * position_scale;
    double ny = y * position_scale;
    if (nx == joystick.x && ny == joystick.y)
        return;
    joystick.x = nx;
    joystick.y = ny;
    // The Y axis grows towards the user. The comparisons are strict.
    joystick.up = joystick.y - joystick.y_center < -dead_band;
    joystick.down = joystick.y - joystick.y_center > dead_band;
    joystick.left = joystick.x - joystick.x_center < -dead_band;
    joystick.right = joystick.x - joystick.x_center > dead_band;
    input_update();
}

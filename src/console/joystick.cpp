// Joystick driving: the stick's offset from its start-up centre becomes four direction flags, and every
// movement hands over to keyboard driving, which mixes them with the keys.
#include "console/joystick.h"

#include "services/message_lines.h"
#include "console/input.h"
#include "platform/joystick.h"

bool joystick_ok = false;
joystick_type joystick;

namespace {

constexpr double position_scale = 1.52587890625e-05;  // 2^-16: a raw axis value as a fraction of full travel
constexpr double dead_band = 0.25;                    // a quarter of the full travel
constexpr int attach_poll_ticks = 100;                // look for a joystick attached later once a second
constexpr double no_position = -1.0;                  // below any real fraction: the next read counts as a move

// What the poll keeps between ticks.
struct watch_type {
    bool driver_up = false;     // the driver offers slots, so a joystick attached later can still be taken up
    int absent_ticks = 0;       // polls since the last look for a joystick attached later
    bool pulled_out = false;    // joystick 1 went away while in use; reported once until it is back
};

watch_type watch;


// The position of joystick 1 as fractions of full travel; false when it is not attached.
bool read_position(double* x, double* y)
{
    unsigned int raw_x = 0;
    unsigned int raw_y = 0;
    if (joystick_device_position(&raw_x, &raw_y) == joystick_unplugged)
        return false;
    *x = raw_x * position_scale;
    *y = raw_y * position_scale;
    return true;
}

// Takes up joystick 1 with its present position as the centre; false when none is attached.
bool take_up_joystick()
{
    double x = 0.0;
    double y = 0.0;
    if (joystick_device_manufacturer() == 0 || !read_position(&x, &y))
        return false;
    joystick_ok = true;
    watch.pulled_out = false;
    joystick.x_center = x;
    joystick.y_center = y;
    joystick.up = false;
    joystick.down = false;
    joystick.left = false;
    joystick.right = false;
    return true;
}

// A joystick pulled out while it drove stops the robot once; while it stays out nothing more happens.
void joystick_pulled_out()
{
    if (watch.pulled_out)
        return;
    watch.pulled_out = true;
    add_line("No joystick Connected");
    bool driving = joystick.up || joystick.down || joystick.left || joystick.right;
    joystick.up = joystick.down = joystick.left = joystick.right = false;
    joystick.x = joystick.y = no_position;  // when it is back, its first reading sets the flags again
    if (driving)
        input_update();
}

} // namespace

void joystick_start()
{
    joystick_ok = false;
    watch.driver_up = false;
    watch.absent_ticks = 0;
    watch.pulled_out = false;
    if (joystick_device_count() == 0) {
        add_line("Unable to start joystick driver");
        return;
    }
    watch.driver_up = true;
    if (!take_up_joystick())
        add_line("No joystick Connected");
}

void joystick_check()
{
    if (!joystick_ok) {
        // Absent since start-up: look for one attached later, sparingly, so an empty slot costs nothing.
        if (!watch.driver_up || ++watch.absent_ticks < attach_poll_ticks)
            return;
        watch.absent_ticks = 0;
        if (take_up_joystick())
            add_line("Joystick Connected");
        return;
    }
    double nx = 0.0;
    double ny = 0.0;
    if (!read_position(&nx, &ny)) {
        joystick_pulled_out();
        return;
    }
    if (watch.pulled_out) {
        watch.pulled_out = false;
        add_line("Joystick Connected");
    }
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

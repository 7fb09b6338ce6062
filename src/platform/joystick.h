// Joystick 1 as the joystick code reads it: the driver's number of slots, the manufacturer id, and the X
// and Y axes as unsigned 16-bit positions, or "unplugged". A real joystick through SDL2 (winmm on Windows),
// or a test double.
#pragma once

enum joystick_result {
    joystick_read,       // the position was read
    joystick_unplugged,  // joystick 1 is not attached
};

// Joystick slots the driver offers; 0 when there is no joystick driver.
unsigned int joystick_device_count();
// Manufacturer (USB vendor) id of joystick 1; 0 when none is attached or it reports no vendor.
unsigned int joystick_device_manufacturer();
// X grows to the right and Y towards the user, each 0 to 65535 with the centre near 32768.
// Leaves x and y untouched when it returns joystick_unplugged.
joystick_result joystick_device_position(unsigned int* x, unsigned int* y);

// The test double: while selected, the three calls above answer from it instead of the real device.
// Selecting it (again) gives a driver with 16 slots, no joystick and no calls counted.
void joystick_double_select(bool on);
void joystick_double_slots(unsigned int count);
void joystick_double_plug(unsigned int manufacturer, unsigned int x, unsigned int y);
void joystick_double_move(unsigned int x, unsigned int y);
// The manufacturer stays readable, as a driver keeps a device's capabilities after it is pulled out.
void joystick_double_unplug();
// Calls of the three device functions answered by the double since it was selected.
unsigned int joystick_double_calls();

// A virtual SDL joystick, so tests can drive the real backend without hardware. Attach returns false
// when SDL offers no virtual joysticks or another joystick already is joystick 1.
bool joystick_virtual_attach(unsigned short vendor);
void joystick_virtual_move(short x, short y);
void joystick_virtual_detach();

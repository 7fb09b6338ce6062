// The joystick backend on SDL2: the first joystick SDL finds is joystick 1. Only the joystick part of SDL
// is started, so it works without a display; the device is polled, not reported through events.
#include "platform/joystick_backend.h"

#include <SDL2/SDL.h>

namespace {

// SDL has no fixed number of joysticks; the driver offers as many slots as the desktop one did.
constexpr int driver_slots = 16;
constexpr int axis_offset = 32768;  // SDL axes run from -32768 to 32767

struct sdl_joystick_type {
    bool driver_tried = false;
    bool driver_up = false;
    SDL_Joystick* joystick_one = nullptr;    // joystick 1 while open
    SDL_Joystick* virtual_joystick = nullptr; // the tests' virtual device while attached
};

sdl_joystick_type sdl_joystick;


bool driver_start()
{
    if (sdl_joystick.driver_tried)
        return sdl_joystick.driver_up;
    sdl_joystick.driver_tried = true;
    // The event loop owns SIGINT and SIGTERM; the stick is read whether or not a window has the focus.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
    sdl_joystick.driver_up = SDL_InitSubSystem(SDL_INIT_JOYSTICK) == 0;
    if (sdl_joystick.driver_up)
        SDL_JoystickEventState(SDL_IGNORE);  // nobody drains joystick events when there is no window
    return sdl_joystick.driver_up;
}

// Joystick 1 brought up to date, or null when none is attached. A joystick pulled out is closed, and
// joystick 1 is opened again once one is attached.
SDL_Joystick* joystick_one_update()
{
    if (!driver_start())
        return nullptr;
    SDL_JoystickUpdate();  // also notices joysticks attached or pulled out
    if (sdl_joystick.joystick_one != nullptr && !SDL_JoystickGetAttached(sdl_joystick.joystick_one)) {
        SDL_JoystickClose(sdl_joystick.joystick_one);
        sdl_joystick.joystick_one = nullptr;
    }
    if (sdl_joystick.joystick_one == nullptr && SDL_NumJoysticks() > 0)
        sdl_joystick.joystick_one = SDL_JoystickOpen(0);
    return sdl_joystick.joystick_one;
}

unsigned int axis_position(SDL_Joystick* joystick, int axis)
{
    return static_cast<unsigned int>(SDL_JoystickGetAxis(joystick, axis) + axis_offset);
}

} // namespace

unsigned int joystick_backend_count()
{
    if (!driver_start())
        return 0;
    int attached = SDL_NumJoysticks();
    return static_cast<unsigned int>(attached > driver_slots ? attached : driver_slots);
}

unsigned int joystick_backend_manufacturer()
{
    SDL_Joystick* joystick = joystick_one_update();
    return joystick != nullptr ? SDL_JoystickGetVendor(joystick) : 0;
}

joystick_result joystick_backend_position(unsigned int* x, unsigned int* y)
{
    SDL_Joystick* joystick = joystick_one_update();
    if (joystick == nullptr)
        return joystick_unplugged;
    *x = axis_position(joystick, 0);
    *y = axis_position(joystick, 1);
    return joystick_read;
}

bool joystick_virtual_attach(unsigned short vendor)
{
    if (sdl_joystick.virtual_joystick != nullptr || !driver_start())
        return false;
    SDL_JoystickUpdate();
    if (SDL_NumJoysticks() != 0)
        return false;
    SDL_VirtualJoystickDesc desc;
    SDL_zero(desc);
    desc.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    desc.type = SDL_JOYSTICK_TYPE_UNKNOWN;
    desc.naxes = 2;
    desc.vendor_id = vendor;
    desc.product_id = 1;
    desc.name = "Quillon virtual joystick";
    int index = SDL_JoystickAttachVirtualEx(&desc);
    if (index < 0)
        return false;
    sdl_joystick.virtual_joystick = SDL_JoystickOpen(index);
    if (sdl_joystick.virtual_joystick == nullptr) {
        SDL_JoystickDetachVirtual(index);
        return false;
    }
    if (index != 0) {
        joystick_virtual_detach();
        return false;
    }
    return true;
}

void joystick_virtual_move(short x, short y)
{
    if (sdl_joystick.virtual_joystick == nullptr)
        return;
    SDL_JoystickSetVirtualAxis(sdl_joystick.virtual_joystick, 0, x);
    SDL_JoystickSetVirtualAxis(sdl_joystick.virtual_joystick, 1, y);
}

void joystick_virtual_detach()
{
    if (sdl_joystick.virtual_joystick == nullptr)
        return;
    SDL_JoystickID id = SDL_JoystickInstanceID(sdl_joystick.virtual_joystick);
    for (int i = 0; i < SDL_NumJoysticks(); i++) {
        if (SDL_JoystickGetDeviceInstanceID(i) == id) {
            SDL_JoystickDetachVirtual(i);
            break;
        }
    }
    SDL_JoystickClose(sdl_joystick.virtual_joystick);
    sdl_joystick.virtual_joystick = nullptr;
}

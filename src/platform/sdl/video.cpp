// The real-window backend on SDL2: windows, presenting pictures, and keyboard, focus and close input
// turned into the desktop platform's messages.
#include "platform/messages.h"
#include "platform/window_backend.h"

#include <SDL2/SDL.h>

#include <cstdlib>
#include <cstring>

namespace {

bool video_running = false;

// The key's virtual-key code, or 0 for keys the application has no code for.
unsigned int virtual_key(SDL_Keycode key)
{
    if (key >= SDLK_a && key <= SDLK_z)
        return static_cast<unsigned int>('A' + (key - SDLK_a));
    if (key >= SDLK_0 && key <= SDLK_9)
        return static_cast<unsigned int>('0' + (key - SDLK_0));
    switch (key) {
    case SDLK_ESCAPE: return VK_ESCAPE;
    case SDLK_RETURN: return VK_RETURN;
    case SDLK_BACKSPACE: return VK_BACK;
    case SDLK_TAB: return VK_TAB;
    case SDLK_SPACE: return VK_SPACE;
    case SDLK_LEFT: return 0x25;
    case SDLK_UP: return 0x26;
    case SDLK_RIGHT: return 0x27;
    case SDLK_DOWN: return 0x28;
    default: return 0;
    }
}

// Keys that produce a control character but no text input event.
unsigned int control_character(unsigned int vk)
{
    switch (vk) {
    case VK_ESCAPE: return 27;
    case VK_RETURN: return 13;
    case VK_BACK: return 8;
    case VK_TAB: return 9;
    default: return 0;
    }
}

platform_window* window_of(uint32_t id)
{
    SDL_Window* native = SDL_GetWindowFromID(id);
    return native != nullptr ? static_cast<platform_window*>(SDL_GetWindowData(native, "quillon")) : nullptr;
}

void key_event(const SDL_KeyboardEvent& key, bool down)
{
    platform_window* w = window_of(key.windowID);
    unsigned int vk = virtual_key(key.keysym.sym);
    if (w == nullptr || vk == 0)
        return;
    if (!down) {
        window_send(w, WM_KEYUP, vk, 0);
        return;
    }
    window_send(w, WM_KEYDOWN, vk, key.repeat ? KEY_REPEAT_BIT | 1 : 1);
    unsigned int character = control_character(vk);
    if (character != 0 && window_alive(w))
        window_send(w, WM_CHAR, character, 1);
}

void text_event(const SDL_TextInputEvent& text)
{
    platform_window* w = window_of(text.windowID);
    for (size_t i = 0; w != nullptr && i < sizeof text.text && text.text[i] != 0; i++) {
        unsigned char c = static_cast<unsigned char>(text.text[i]);
        if (c < 0x80 && window_alive(w))
            window_send(w, WM_CHAR, c, 1);
    }
}

void window_event(const SDL_WindowEvent& event)
{
    platform_window* w = window_of(event.windowID);
    if (w == nullptr)
        return;
    if (event.event == SDL_WINDOWEVENT_FOCUS_LOST)
        window_send(w, WM_KILLFOCUS, 0, 0);
    else if (event.event == SDL_WINDOWEVENT_CLOSE)
        window_send(w, WM_CLOSE, 0, 0);
    else if (event.event == SDL_WINDOWEVENT_EXPOSED)
        video_present(w);  // the window system lost the picture: show the last one again
}

} // namespace

bool video_start()
{
    if (video_running)
        return true;
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display == nullptr || *display == 0) && (wayland == nullptr || *wayland == 0)) {
        window_report_problem("neither DISPLAY nor WAYLAND_DISPLAY is set");
        return false;
    }
    // The event loop turns SIGINT and SIGTERM into a close request itself.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    // A window surface on a renderer makes SDL recreate each native window at its first present, so a
    // window's id would change under anyone who looked it up (a test, a window manager). Plain surfaces.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Left to itself, SDL falls back to its invisible offscreen driver when the display does not open.
    if (std::getenv("SDL_VIDEODRIVER") == nullptr)
        SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11,wayland");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
        bool x11 = display != nullptr && *display != 0;
        window_report_problem(std::string(x11 ? "DISPLAY " : "WAYLAND_DISPLAY ") + (x11 ? display : wayland) +
                              " does not open");
        return false;
    }
    SDL_StartTextInput();
    video_running = true;
    return true;
}

void video_stop()
{
    if (video_running)
        SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
    video_running = false;
}

void video_create(platform_window* window)
{
    if (window_system_headless())
        return;
    // Fixed size, title bar with close and minimise: no maximise box, no sizing border.
    SDL_Window* native = SDL_CreateWindow(window->title.c_str(), window->x, window->y, window->width,
                                          window->height, SDL_WINDOW_HIDDEN);
    if (native == nullptr) {
        window_report_problem("no window \"" + window->title + "\": " + SDL_GetError());
        return;
    }
    SDL_SetWindowData(native, "quillon", window);
    window->native = native;
    window->native_id = SDL_GetWindowID(native);
}

void video_destroy(platform_window* window)
{
    if (window->native != nullptr)
        SDL_DestroyWindow(static_cast<SDL_Window*>(window->native));
    window->native = nullptr;
}

void video_show(platform_window* window)
{
    if (window->native != nullptr)
        SDL_ShowWindow(static_cast<SDL_Window*>(window->native));
}

void video_present(platform_window* window)
{
    SDL_Window* native = static_cast<SDL_Window*>(window->native);
    SDL_Surface* surface = native != nullptr ? SDL_GetWindowSurface(native) : nullptr;
    if (surface == nullptr || window->shown.size() != static_cast<size_t>(window->width) * window->height)
        return;
    SDL_Surface* picture = SDL_CreateRGBSurfaceWithFormatFrom(window->shown.data(), window->width, window->height, 32,
                                                              window->width * 4, SDL_PIXELFORMAT_RGB888);
    if (picture != nullptr) {
        SDL_BlitSurface(picture, nullptr, surface, nullptr);
        SDL_FreeSurface(picture);
    }
    SDL_UpdateWindowSurface(native);
}

void video_pump_input()
{
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        switch (event.type) {
        case SDL_KEYDOWN: key_event(event.key, true); break;
        case SDL_KEYUP: key_event(event.key, false); break;
        case SDL_TEXTINPUT: text_event(event.text); break;
        case SDL_WINDOWEVENT: window_event(event.window); break;
        default: break;
        }
    }
}

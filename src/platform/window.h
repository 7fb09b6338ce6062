// Windows with a message procedure, as the desktop platform has them: a real window (SDL2, or Win32) when
// a display is available, a headless record with the same messages otherwise.
#pragma once

#include <cstdint>
#include <string>

struct canvas_type;
struct platform_window;
using window_handle = platform_window*;
using window_proc_type = long (*)(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);

struct window_class_type {
    const char* name;          // class name, unique among registered classes
    window_proc_type proc;     // the window procedure of every window of the class
};

// Chooses the backend: headless when asked or when no display can be opened. Returns true for real windows.
bool window_system_start(bool headless);
void window_system_stop();
bool window_system_headless();
// Why real windows could not be had (no display, or a window the backend refused); empty while they could.
std::string window_system_problem();

// False when the name is already registered (as the desktop platform refuses a second registration).
bool window_register_class(const window_class_type& window_class);
// The first live window of the class, or null.
window_handle window_find(const char* class_name);

// Creates the window with the given client size; WM_CREATE reaches the procedure before this returns.
// The user data is set before WM_CREATE, so a procedure can find its object at once.
window_handle window_create(const char* class_name, const char* title, int x, int y, int client_width,
                            int client_height, void* user_data);
void window_show(window_handle window);
// Sends WM_DESTROY and closes the window; later messages to it are dropped.
void window_destroy(window_handle window);
bool window_alive(window_handle window);

long window_send(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);
// The default handling: a close request destroys the window; everything else returns 0.
long window_default_proc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);

void* window_user_data(window_handle window);
void window_set_user_data(window_handle window, void* data);
void window_client_size(window_handle window, int* width, int* height);
const char* window_title(window_handle window);

// Asks for a WM_PAINT; callable from any thread. Several requests before the paint give one paint.
void window_invalidate(window_handle window);
// Copies the canvas to the window's client area at (x, y); shown only when the picture changed.
void window_present(window_handle window, const canvas_type* canvas, int x, int y);
// Saves what the window shows as a binary PPM; false if nothing has been presented.
bool window_save_screenshot(window_handle window, const char* filename);

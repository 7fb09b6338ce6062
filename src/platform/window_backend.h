// What the event loop and the window layer share inside the platform layer; not for application code.
#pragma once

#include "platform/window.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct platform_window {
    std::string class_name;           // the registered class it was created with
    window_proc_type proc = nullptr;  // the class's window procedure
    std::string title;
    int x = 0, y = 0;                 // position on the screen
    int width = 0, height = 0;        // client size
    void* user_data = nullptr;        // the application's object for this window
    std::atomic<bool> alive{false};   // false once destroyed: messages to it are dropped
    std::atomic<bool> dirty{false};   // a paint has been asked for
    void* native = nullptr;           // the backend's window (SDL_Window*, or the Win32 record), or null
    uint32_t native_id = 0;           // the backend's window id, for routing input
    std::vector<uint32_t> shown;      // the picture last presented, to skip unchanged presents
};

// Sends WM_PAINT to every window that asked for one; true if any was painted.
bool window_deliver_paints();
// Drains the window library's input queue into messages; nothing when headless.
void window_pump_input();
// True while real windows are open, so the loop wakes often enough to drain their input.
bool window_needs_input_polling();
// The first window created that is still alive (the main window), or null.
window_handle window_main();

// A backend says here why it could not open the display or a window.
void window_report_problem(const std::string& problem);

// The real-window backend (SDL2, or Win32). video_create and video_destroy are called for headless windows
// too: a backend whose timers and socket events need a native window (Win32) makes a message-only one.
bool video_start();
void video_stop();
void video_create(platform_window* window);
void video_destroy(platform_window* window);
void video_show(platform_window* window);
void video_present(platform_window* window);
void video_pump_input();

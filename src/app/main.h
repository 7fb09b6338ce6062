// The application shell: the main window and its message table, the start-up and shutdown sequences,
// and the two timers that drive all periodic work.
#pragma once

#include "platform/window.h"

#include <cstdint>

extern window_handle main_win;  // the status window; socket events and the camera window refer to it

// Runs the program: the main window, then the event loop until the window is destroyed. Returns the exit code.
int WinMain(int argc, char** argv);
long WinProc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);
void system_start(window_handle window);
void system_stop();
void timer_message(window_handle window, unsigned int timer_id);

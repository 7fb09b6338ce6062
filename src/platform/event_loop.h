// The window thread's event loop (poll(2) on POSIX, the thread's message loop on Windows): posted
// messages, timers, socket events and the window library's input, handled one at a time.
#pragma once

#include <cstdint>

struct platform_window;
using window_handle = platform_window*;

// Prepares the loop (its wake-up, and SIGINT and SIGTERM, or Ctrl-C on Windows, as a close request);
// idempotent.
void event_loop_start();
// Runs until event_loop_post_quit; returns the exit code carried by the quit message.
int event_loop_run();
void event_loop_post_quit(int exit_code);
// Queues a message for the window; safe from any thread.
void event_loop_post(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);

// A timer ticks WM_TIMER with its id as the first parameter. A tick that falls due while the thread is
// busy is not queued twice and a late tick is not made up. Setting an existing id changes its period.
void event_loop_set_timer(window_handle window, unsigned int id, unsigned int period_ms);
void event_loop_kill_timer(window_handle window, unsigned int id);
void event_loop_kill_timers(window_handle window);

// Delivers the socket's events to the window as `message` (first parameter the socket, second the event
// code: FD_READ, FD_ACCEPT, FD_CLOSE) while the bits are in `mask`; a mask of 0 stops it.
void event_loop_select_socket(int socket, window_handle window, unsigned int message, long mask);

// Called by the socket service after each receive: FD_READ is reported again from then on.
void event_loop_socket_rearm(int socket);

// Called by the window layer: wakes the loop so it paints or drains input.
void event_loop_wake();

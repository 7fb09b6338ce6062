// The status display: the message lines every unit adds to, and the picture of the main window.
#pragma once

#include "platform/format.h"
#include "platform/window.h"

#include <mutex>

struct canvas_type;
struct control_type;
struct telemetry_type;

constexpr int text_line_count = 12;   // message lines shown
constexpr int text_line_size = 200;   // bytes per slot: at most 199 characters and the terminator

extern char text_area[text_line_count][text_line_size];  // slot 0 the oldest line shown
extern int text_y;                                       // slots in use, 0 to 12
extern bool text_clear;                                  // the first line has cleared the slots
extern std::mutex text_lock;                             // guards the three above

void display_start();
// Formats a line, stores it as the newest message line and logs it.
void add_line(const char* format, ...) PLATFORM_PRINTF(1, 2);
void do_add_line(const char* text);
// Copies the message lines shown, oldest first, into lines; returns how many there are (0 to 12).
int display_copy_lines(char (*lines)[text_line_size], int capacity);

extern int display_x;  // size of the status display
extern int display_y;
extern canvas_type* display_canvas;  // the off-screen picture

void setup_display(window_handle window);
void resize_display(window_handle window, long size);
void do_paint(window_handle window);
// Redraws the whole picture from the robot's state and the message lines; runs on every 10 ms tick.
void update_display(window_handle window);
// A bar filled from the bottom: value 1 all colour (0x00RRGGBB, canvas_rgb), 0 all grey; not clamped.
void draw_bar_graph(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2, double value, unsigned long colour);
void draw_control(unsigned int x, unsigned int y, const control_type& control);
void draw_telemetry(unsigned int x, unsigned int y, const telemetry_type& telemetry);

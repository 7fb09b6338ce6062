// The status display: the picture of the main window, drawn from the robot and the message lines.
#pragma once

#include "platform/window.h"

struct canvas_type;
struct control_type;
struct telemetry_type;

void display_start();

extern int display_x;  // size of the status display
extern int display_y;
canvas_type* display_picture();  // the off-screen picture (tests read its pixels)
// Draws from now on into this canvas instead (tests give one that draws without a window).
void display_draw_into(canvas_type* canvas);

void setup_display(window_handle window);
void resize_display(window_handle window, long size);
void do_paint(window_handle window);
// Redraws the whole picture from the robot's state and the message lines; runs on every 10 ms tick.
void update_display(window_handle window);
// A bar filled from the bottom: value 1 all colour (0x00RRGGBB, canvas_rgb), 0 all grey; not clamped.
void draw_bar_graph(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2, double value, unsigned long colour);
void draw_control(unsigned int x, unsigned int y, const control_type& control);
void draw_telemetry(unsigned int x, unsigned int y, const telemetry_type& telemetry);

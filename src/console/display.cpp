// The status display: the picture of the main window, drawn from the robot and the message lines.
#include "console/display.h"

#include "services/message_lines.h"

#include "services/taps.h"

#include "platform/canvas.h"
#include "robot/robot.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void display_start()
{
    // The message lines' lock is a constant-initialised mutex, usable before this runs; nothing to create.
}

// The picture of the main window: redrawn in full every tick into display_canvas, copied by do_paint.
int display_x = 800;
int display_y = 400;

namespace {

canvas_type* display_canvas = nullptr;  // the off-screen picture, remade at each size

constexpr uint32_t white = canvas_rgb(255, 255, 255);
constexpr uint32_t black = canvas_rgb(0, 0, 0);
constexpr uint32_t grey = canvas_rgb(150, 150, 150);
constexpr uint32_t red = canvas_rgb(255, 0, 0);
constexpr uint32_t blue = canvas_rgb(0, 0, 255);

constexpr int message_box_height = 194;  // the message box at the bottom of the picture
constexpr int message_pitch = 16;        // pixels from one message line to the next

void draw_text(int x, int y, const char* text)
{
    canvas_text(display_canvas, x, y, text);
}

void draw_number(unsigned int x, unsigned int y, const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    draw_text(static_cast<int>(x), static_cast<int>(y), text);
}

void new_canvas()
{
    if (display_canvas != nullptr)
        canvas_destroy(display_canvas);
    display_canvas = canvas_create(display_x, display_y, !window_system_headless());
}

// The message lines, copied under the lock so that drawing them never holds up a thread adding a line.
void draw_messages()
{
    char lines[text_line_count][text_line_size];
    int shown = message_lines_copy(lines, text_line_count);
    canvas_rectangle(display_canvas, 0, display_y - message_box_height, display_x, display_y, black, white);
    for (int i = 0; i < shown; i++)
        draw_text(2, display_y - message_box_height + 1 + message_pitch * i, lines[i]);
}

} // namespace

void setup_display(window_handle)
{
    new_canvas();
}

void resize_display(window_handle window, long size)
{
    display_x = static_cast<int>(size & 0xFFFF);
    display_y = static_cast<int>((size >> 16) & 0xFFFF);
    new_canvas();
    window_invalidate(window);
}

void do_paint(window_handle window)
{
    if (display_canvas != nullptr)
        window_present(window, display_canvas, 0, 0);
}

void update_display(window_handle)
{
    // Headless, nobody sees the picture: a hundred redraws a second would only format numbers for nothing.
    if (display_canvas == nullptr || !canvas_draws(display_canvas))
        return;
    control_type control;
    telemetry_type telemetry;
    robot.get_control(&control);
    robot.get_telemetry(&telemetry);
    canvas_fill_rect(display_canvas, 0, 0, canvas_width(display_canvas), canvas_height(display_canvas), white);
    draw_number(1, 1, "Serial Rate %3.0f ", robot.get_update_speed());
    double camera_rate = 0.0;
    if (robot.get_camera_rate(&camera_rate))
        draw_number(1, 20, "Camera Rate %5.3f ", camera_rate);
    draw_text(0, 40, remote_mode ? "Remote mode" : "Local mode");
    draw_text(0, 60, robot.get_auto_mode() ? "Auto mode" : "Manual mode");
    draw_telemetry(260, 0, telemetry);
    draw_control(160, 0, control);
    draw_messages();
}

void draw_bar_graph(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2, double value, unsigned long colour)
{
    if (display_canvas == nullptr)
        return;
    // Truncated toward zero; bounded first, since the value comes from outside and is not clamped.
    double height = (static_cast<double>(y2) - static_cast<double>(y1)) * (1.0 - value);
    if (!(height > -100000.0))
        height = -100000.0;
    if (height > 100000.0)
        height = 100000.0;
    int top = static_cast<int>(y1) + static_cast<int>(height);
    canvas_fill_rect(display_canvas, static_cast<int>(x1), static_cast<int>(y1), static_cast<int>(x2), top, grey);
    canvas_fill_rect(display_canvas, static_cast<int>(x1), top, static_cast<int>(x2), static_cast<int>(y2),
                     static_cast<uint32_t>(colour));
}

void draw_control(unsigned int x, unsigned int y, const control_type& control)
{
    draw_text(static_cast<int>(x), static_cast<int>(y), "Motor Target");
    draw_bar_graph(x, y + 20, x + 35, y + 120, control.left_speed / 255, control.left_reverse ? red : blue);
    draw_bar_graph(x + 40, y + 20, x + 75, y + 120, control.right_speed / 255, control.right_reverse ? red : blue);
    draw_number(x, y + 120, "%3.0f", control.left_target);
    draw_number(x + 40, y + 120, "%3.0f", control.right_target);
}

void draw_telemetry(unsigned int x, unsigned int y, const telemetry_type& telemetry)
{
    draw_text(static_cast<int>(x), static_cast<int>(y), "Analog Data");
    for (unsigned int i = 0; i < 8; i++) {
        draw_bar_graph(x + 60 * i, y + 20, x + 60 * i + 35, y + 120, telemetry.analog[i], blue);
        draw_number(x + 60 * i, y + 120, "%5.4f ", telemetry.analog[i]);
    }
}

canvas_type* display_picture()
{
    return display_canvas;
}

void display_draw_into(canvas_type* canvas)
{
    display_canvas = canvas;
}

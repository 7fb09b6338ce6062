// The status display, read back from its canvas: bars, texts in their places, the message box.
#include "console/display.h"
#include "services/message_lines.h"

#include "platform/canvas.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t white = canvas_rgb(255, 255, 255);
constexpr uint32_t black = canvas_rgb(0, 0, 0);
constexpr uint32_t grey = canvas_rgb(150, 150, 150);
constexpr uint32_t red = canvas_rgb(255, 0, 0);
constexpr uint32_t blue = canvas_rgb(0, 0, 255);

// Gives the display a canvas that draws (a headless program's does not) and restores the size after.
struct display_case {
    display_case(int width = 800, int height = 400)
    {
        display_x = width;
        display_y = height;
        if (display_picture() != nullptr)
            canvas_destroy(display_picture());
        display_draw_into(canvas_create(width, height, true));
    }
    ~display_case()
    {
        canvas_destroy(display_picture());
        display_draw_into(nullptr);
        display_x = 800;
        display_y = 400;
    }
};

// The rows from y_from to y_to (exclusive) of column x, counted by colour.
int count_colour(int x, int y_from, int y_to, uint32_t colour)
{
    int n = 0;
    for (int y = y_from; y < y_to; y++)
        n += canvas_pixel(display_picture(), x, y) == colour;
    return n;
}

bool has_ink(const canvas_type* canvas, int x1, int y1, int x2, int y2)
{
    for (int y = y1; y < y2; y++)
        for (int x = x1; x < x2; x++)
            if (canvas_pixel(canvas, x, y) != white)
                return true;
    return false;
}

// The text drawn alone at (x, y) on a white canvas matches the display in the box (x, y)-(x2, y + 16).
::testing::AssertionResult text_at(int x, int y, const char* text, int x2)
{
    canvas_type* expected = canvas_create(canvas_width(display_picture()), canvas_height(display_picture()), true);
    canvas_text(expected, x, y, text);
    bool ink = has_ink(expected, x, y, x2, y + 16);
    for (int row = y; row < y + 16; row++)
        for (int col = x; col < x2; col++)
            if (canvas_pixel(expected, col, row) != canvas_pixel(display_picture(), col, row)) {
                canvas_destroy(expected);
                return ::testing::AssertionFailure() << "\"" << text << "\" differs at " << col << ", " << row;
            }
    canvas_destroy(expected);
    if (!ink)
        return ::testing::AssertionFailure() << "no font: \"" << text << "\" draws nothing";
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(Display, AnalogBarsFillFromTheBottomByTruncatedValue)
{
    display_case d;
    telemetry_type telemetry;
    telemetry.analog[0] = 0.5f;
    telemetry.analog[1] = 0.333f;
    telemetry.analog[2] = 1.0f;
    telemetry.analog[3] = 0.0f;
    telemetry.analog[4] = 1.2f;
    telemetry.analog[5] = -0.1f;
    draw_telemetry(260, 0, telemetry);
    EXPECT_EQ(count_colour(270, 20, 70, grey), 50);
    EXPECT_EQ(count_colour(270, 70, 120, blue), 50);
    EXPECT_EQ(count_colour(320, 20, 86, grey), 66);
    EXPECT_EQ(count_colour(354, 86, 120, blue), 34);
    EXPECT_EQ(count_colour(390, 20, 120, blue), 100);
    EXPECT_EQ(count_colour(450, 20, 120, grey), 100);
    EXPECT_EQ(count_colour(500, 0, 120, blue), 120) << "1.2 reaches above the bar, over the caption";
    EXPECT_EQ(count_colour(560, 20, 120, grey), 100);
    // Right and bottom edges are left out; the bars are 35 wide with 25 between them.
    EXPECT_EQ(canvas_pixel(display_picture(), 294, 100), blue);
    EXPECT_EQ(canvas_pixel(display_picture(), 295, 100), white);
    EXPECT_EQ(canvas_pixel(display_picture(), 319, 100), white);
    EXPECT_EQ(canvas_pixel(display_picture(), 270, 19), white);
    EXPECT_TRUE(text_at(260, 120, "0.5000 ", 318));
    EXPECT_TRUE(text_at(320, 120, "0.3330 ", 378));

    // Below 0 the grey part reaches under the bar (where the panel then writes the value).
    draw_bar_graph(100, 20, 135, 120, -0.1, blue);
    EXPECT_EQ(count_colour(110, 20, 140, grey), 110);
    EXPECT_EQ(count_colour(110, 20, 140, blue), 0);
}

TEST(Display, MotorBarsShowAppliedSpeedsInTheirDirectionsAndTargetsBelow)
{
    display_case d;
    control_type control;
    control.left_speed = 255;
    control.right_speed = 127.5;
    control.right_reverse = true;
    control.left_target = 58.8;
    control.right_target = 240;
    draw_control(160, 0, control);
    EXPECT_EQ(count_colour(160, 20, 120, blue), 100) << "full forward";
    EXPECT_EQ(count_colour(194, 20, 120, blue), 100);
    EXPECT_EQ(count_colour(200, 20, 70, grey), 50);
    EXPECT_EQ(count_colour(234, 70, 120, red), 50) << "reverse is red";
    EXPECT_EQ(canvas_pixel(display_picture(), 195, 60), white);
    EXPECT_TRUE(text_at(160, 120, " 59", 199));
    EXPECT_TRUE(text_at(200, 120, "240", 240));
    EXPECT_TRUE(text_at(160, 0, "Motor Target", 250));

    control = control_type{};
    control.left_reverse = true;
    canvas_fill_rect(display_picture(), 0, 0, 800, 400, white);
    draw_control(160, 0, control);
    EXPECT_EQ(count_colour(170, 20, 120, grey), 100) << "standstill is all grey";
    EXPECT_TRUE(text_at(160, 120, "  0", 199));
}

TEST(Display, UpdateDrawsRatesModesPanelsAndMessageLines)
{
    display_case d;
    add_line("Display test line %d", 7);
    // Whatever state earlier tests left in the robot: the picture shows it.
    control_type control;
    telemetry_type telemetry;
    robot.get_control(&control);
    robot.get_telemetry(&telemetry);
    char rate[64];
    std::snprintf(rate, sizeof rate, "Serial Rate %3.0f ", robot.get_update_speed());
    double camera_rate = 0;
    ASSERT_FALSE(robot.get_camera_rate(&camera_rate)) << "the robot in the unit tests has no camera";
    update_display(nullptr);
    EXPECT_TRUE(text_at(1, 1, rate, 158));
    EXPECT_FALSE(has_ink(display_picture(), 0, 19, 158, 39)) << "no camera: the camera line stays blank";
    EXPECT_TRUE(text_at(0, 40, remote_mode ? "Remote mode" : "Local mode", 158));
    EXPECT_TRUE(text_at(0, 60, robot.get_auto_mode() ? "Auto mode" : "Manual mode", 158));
    EXPECT_TRUE(text_at(260, 0, "Analog Data", 318));
    int grey_rows = static_cast<int>(100 * (1.0 - telemetry.analog[7]));
    EXPECT_EQ(count_colour(681, 20, 120, grey), std::clamp(grey_rows, 0, 100)) << "channel 7";
    grey_rows = static_cast<int>(100 * (1.0 - control.left_speed / 255));
    EXPECT_EQ(count_colour(161, 20, 120, grey), std::clamp(grey_rows, 0, 100)) << "left motor";
    // The box: a one-pixel black border from y 206 to the bottom, white inside.
    EXPECT_EQ(canvas_pixel(display_picture(), 400, 206), black);
    EXPECT_EQ(canvas_pixel(display_picture(), 400, 205), white);
    EXPECT_EQ(canvas_pixel(display_picture(), 0, 300), black);
    EXPECT_EQ(canvas_pixel(display_picture(), 799, 300), black);
    EXPECT_EQ(canvas_pixel(display_picture(), 400, 399), black);
    EXPECT_EQ(canvas_pixel(display_picture(), 790, 390), white);
    int slot = -1;
    std::vector<std::string> shown = message_lines_shown();
    for (int i = 0; i < static_cast<int>(shown.size()); i++)
        if (shown[i] == "Display test line 7")
            slot = i;
    ASSERT_GE(slot, 0);
    EXPECT_TRUE(text_at(2, 207 + 16 * slot, "Display test line 7", 300));
}

TEST(Display, ResizeRebuildsThePictureAndMovesTheMessageBox)
{
    display_case d;
    resize_display(nullptr, 300L << 16 | 640);
    EXPECT_EQ(display_x, 640);
    EXPECT_EQ(display_y, 300);
    ASSERT_NE(display_picture(), nullptr);
    EXPECT_EQ(canvas_width(display_picture()), 640);
    EXPECT_EQ(canvas_height(display_picture()), 300);
    // The program's canvas draws only with a real window; draw this one for real.
    canvas_destroy(display_picture());
    display_draw_into(canvas_create(640, 300, true));
    add_line("First of twelve");
    for (int i = 0; i < 11; i++)
        add_line("Filler %d", i);
    update_display(nullptr);
    EXPECT_EQ(canvas_pixel(display_picture(), 245, 106), black);
    EXPECT_EQ(canvas_pixel(display_picture(), 245, 105), white);
    EXPECT_EQ(canvas_pixel(display_picture(), 639, 200), black);
    EXPECT_EQ(canvas_pixel(display_picture(), 320, 299), black);
    EXPECT_TRUE(text_at(2, 107, "First of twelve", 300));
    EXPECT_TRUE(text_at(2, 107 + 16 * 11, "Filler 10", 300));
}

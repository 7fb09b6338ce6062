// What seeing the robot costs: decoding one 160 x 120 camera JPEG (goal under 0.5 ms, on the reading
// thread) and one redraw of the status display (goal under 0.3 ms, on the window thread every 10 ms).
#include "services/log.h"
#include "console/display.h"
#include "services/message_lines.h"
#include "imaging/decompress.h"
#include "imaging/serialcamera.h"
#include "platform/canvas.h"
#include "robot/robot.h"

#include "../tests/test_jpeg.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// Something like the camera's view: a floor, a wall with a door, a bright box, some texture.
std::vector<unsigned char> camera_view()
{
    return test_jpeg::make(160, 120, 3, [](int x, int y, unsigned char* s) {
        bool floor = y > 70, door = x > 100 && x < 125 && y > 25 && y <= 70, box = x > 30 && x < 60 && y > 60 && y < 95;
        int texture = static_cast<int>(12 * std::sin(x * 0.7) * std::cos(y * 0.5));
        s[0] = static_cast<unsigned char>(box ? 230 : door ? 120 : floor ? 90 + texture : 180 + texture);
        s[1] = static_cast<unsigned char>(box ? 60 : door ? 80 : floor ? 70 + texture : 170 + texture);
        s[2] = static_cast<unsigned char>(box ? 40 : door ? 50 : floor ? 50 : 150 + y / 4);
    }, 80);
}

void decode_camera_jpeg(benchmark::State& state)
{
    auto jpeg = camera_view();
    std::vector<color_type> image(160 * 120);
    for (auto _ : state) {
        bool ok = decompress_image(reinterpret_cast<const char*>(jpeg.data()), static_cast<unsigned int>(jpeg.size()),
                                   image.data(), 160, 120);
        benchmark::DoNotOptimize(ok);
    }
    state.SetLabel("goal < 500 us; " + std::to_string(jpeg.size()) + " bytes");
}

void fill_message_lines()
{
    add_line("Serial - Start");
    add_line("Controller - Start");
    for (int i = 0; i < 10; i++)
        add_line(i % 2 ? "Image Complete" : "Cam size: %d", 2900 + i);
}

// A redraw into a canvas that draws, as with a real window. changing: new telemetry values every frame,
// so the value texts are new too (the board reports ten times a second: one frame in ten).
void redraw(benchmark::State& state, bool changing)
{
    log_restart("/tmp/quillon-imaging-bench-log.txt");
    fill_message_lines();
    display_draw_into(canvas_create(display_x, display_y, true));
    unsigned char payload[3] = {0, 100, 200};
    for (auto _ : state) {
        if (changing) {
            payload[1] = static_cast<unsigned char>(payload[1] + 1);
            payload[2] = static_cast<unsigned char>(payload[2] + 3);
            state.PauseTiming();
            robot.set_telemetry(payload);
            state.ResumeTiming();
        }
        update_display(nullptr);
    }
    canvas_destroy(display_picture());
    display_draw_into(nullptr);
    state.SetLabel("goal < 300 us");
}

void update_display_steady(benchmark::State& state)
{
    redraw(state, false);
}

void update_display_changing(benchmark::State& state)
{
    redraw(state, true);
}

// The camera window's paint: the copy out of the decoded image under the lock, and the 4x enlargement.
void paint_camera(benchmark::State& state)
{
    log_restart("/tmp/quillon-imaging-bench-log.txt");
    serial_cam_class camera("Bench", 8, 0);
    canvas_destroy(camera.canvas);
    camera.canvas = canvas_create(camera.window_width, camera.window_height, true);
    for (auto _ : state)
        camera.paint();
}

} // namespace

BENCHMARK(decode_camera_jpeg)->Unit(benchmark::kMicrosecond);
BENCHMARK(update_display_steady)->Unit(benchmark::kMicrosecond);
BENCHMARK(update_display_changing)->Unit(benchmark::kMicrosecond);
BENCHMARK(paint_camera)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();

// The window registry shared by both backends: classes, windows, message dispatch and paint requests.
#include "platform/window.h"

#include "platform/canvas.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/window_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// The window system and every window made.
struct windows_state_type {
    bool headless = true;                                   // no real windows: messages only
    std::string problem;                                    // why real windows failed, if they did
    std::vector<window_class_type> classes;                 // registered classes (window thread)
    std::mutex windows_lock;                                // guards the list, not the windows
    // Every window ever created; never freed, so a handle stays valid for late paint requests.
    std::vector<std::unique_ptr<platform_window>> windows;
};

windows_state_type windows_state;

const window_class_type* find_class(const char* name)
{
    for (const window_class_type& c : windows_state.classes)
        if (std::strcmp(c.name, name) == 0)
            return &c;
    return nullptr;
}

} // namespace

bool window_system_start(bool want_headless)
{
    windows_state.headless = want_headless || !video_start();
    event_loop_start();
    return !windows_state.headless;
}

void window_system_stop()
{
    if (!windows_state.headless)
        video_stop();
    windows_state.headless = true;
}

bool window_system_headless()
{
    return windows_state.headless;
}

std::string window_system_problem()
{
    return windows_state.problem;
}

void window_report_problem(const std::string& text)
{
    windows_state.problem = text;
}

bool window_register_class(const window_class_type& window_class)
{
    if (window_class.name == nullptr || window_class.proc == nullptr || find_class(window_class.name) != nullptr)
        return false;
    windows_state.classes.push_back(window_class);
    return true;
}

window_handle window_find(const char* class_name)
{
    std::lock_guard<std::mutex> hold(windows_state.windows_lock);
    for (auto& w : windows_state.windows)
        if (w->alive && w->class_name == class_name)
            return w.get();
    return nullptr;
}

window_handle window_create(const char* class_name, const char* title, int x, int y, int client_width,
                            int client_height, void* user_data)
{
    const window_class_type* window_class = find_class(class_name);
    if (window_class == nullptr)
        return nullptr;
    auto created = std::make_unique<platform_window>();
    platform_window* w = created.get();
    w->class_name = class_name;
    w->proc = window_class->proc;
    w->title = title;
    w->x = x;
    w->y = y;
    w->width = client_width;
    w->height = client_height;
    w->user_data = user_data;
    w->alive = true;
    {
        std::lock_guard<std::mutex> hold(windows_state.windows_lock);
        windows_state.windows.push_back(std::move(created));
    }
    video_create(w);
    window_send(w, WM_CREATE, 0, 0);
    if (w->alive)
        window_send(w, WM_SIZE, 0, static_cast<intptr_t>((client_height & 0xFFFF) << 16 | (client_width & 0xFFFF)));
    return w;
}

void window_show(window_handle window)
{
    if (window != nullptr && window->alive && !windows_state.headless)
        video_show(window);
}

void window_destroy(window_handle window)
{
    if (window == nullptr || !window->alive)
        return;
    window_send(window, WM_DESTROY, 0, 0);
    window->alive = false;
    event_loop_kill_timers(window);
    video_destroy(window);
}

bool window_alive(window_handle window)
{
    return window != nullptr && window->alive;
}

long window_send(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    if (window == nullptr || !window->alive)
        return 0;
    return window->proc(window, message, wparam, lparam);
}

long window_default_proc(window_handle window, unsigned int message, uintptr_t, intptr_t)
{
    if (message == WM_CLOSE)
        window_destroy(window);
    return 0;
}

void* window_user_data(window_handle window)
{
    return window != nullptr ? window->user_data : nullptr;
}

void window_set_user_data(window_handle window, void* data)
{
    if (window != nullptr)
        window->user_data = data;
}

void window_client_size(window_handle window, int* width, int* height)
{
    *width = window != nullptr ? window->width : 0;
    *height = window != nullptr ? window->height : 0;
}

const char* window_title(window_handle window)
{
    return window != nullptr ? window->title.c_str() : "";
}

void window_invalidate(window_handle window)
{
    if (window == nullptr || !window->alive)
        return;
    if (!window->dirty.exchange(true))
        event_loop_wake();
}

void window_present(window_handle window, const canvas_type* canvas, int x, int y)
{
    if (window == nullptr || !window->alive || canvas == nullptr || !canvas_draws(canvas))
        return;
    size_t size = static_cast<size_t>(window->width) * window->height;
    bool changed = window->shown.size() != size;
    if (changed)
        window->shown.assign(size, 0xFFFFFF);
    // Rows are compared and copied in place: this runs on every paint, and presenting costs milliseconds
    // on a real display, so an unchanged picture is not shown again.
    const uint32_t* pixels = canvas_pixels(canvas);
    int cw = canvas_width(canvas), ch = canvas_height(canvas);
    int first_col = std::max(0, -x);
    int cols = std::min(cw, window->width - x) - first_col;
    for (int row = std::max(0, -y); cols > 0 && row < ch && row + y < window->height; row++) {
        const uint32_t* from = pixels + static_cast<size_t>(row) * cw + first_col;
        uint32_t* to = window->shown.data() + static_cast<size_t>(row + y) * window->width + x + first_col;
        if (std::memcmp(to, from, static_cast<size_t>(cols) * sizeof(uint32_t)) != 0) {
            std::memcpy(to, from, static_cast<size_t>(cols) * sizeof(uint32_t));
            changed = true;
        }
    }
    if (changed && !windows_state.headless)
        video_present(window);
}

bool window_save_screenshot(window_handle window, const char* filename)
{
    if (window == nullptr || window->shown.empty())
        return false;
    FILE* file = std::fopen(filename, "wb");
    if (file == nullptr)
        return false;
    std::fprintf(file, "P6\n%d %d\n255\n", window->width, window->height);
    for (uint32_t pixel : window->shown) {
        unsigned char rgb[3] = {static_cast<unsigned char>(pixel >> 16), static_cast<unsigned char>(pixel >> 8),
                                static_cast<unsigned char>(pixel)};
        std::fwrite(rgb, 1, 3, file);
    }
    return std::fclose(file) == 0;
}

bool window_deliver_paints()
{
    static std::vector<platform_window*> due;  // kept between turns so its storage is reused
    due.clear();
    {
        std::lock_guard<std::mutex> hold(windows_state.windows_lock);
        for (auto& w : windows_state.windows)
            if (w->alive && w->dirty.exchange(false))
                due.push_back(w.get());
    }
    for (platform_window* w : due)
        window_send(w, WM_PAINT, 0, 0);
    return !due.empty();
}

void window_pump_input()
{
    if (!windows_state.headless)
        video_pump_input();
}

bool window_needs_input_polling()
{
    return !windows_state.headless;
}

window_handle window_main()
{
    std::lock_guard<std::mutex> hold(windows_state.windows_lock);
    for (auto& w : windows_state.windows)
        if (w->alive)
            return w.get();
    return nullptr;
}

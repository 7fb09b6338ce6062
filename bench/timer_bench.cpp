// The period of the 10 ms timer as the platform layer delivers it (on Windows: SetTimer), with the real
// application shell handling every tick, headless and with the status window shown. Prints figures; never
// fails. Uses nothing but the platform layer, so the same program measures every backend.
//
//   timer_bench [--window] [--seconds N]
#include "app/main.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::vector<double> tick_times;  // clock readings of timer 1, the 10 ms timer

long bench_proc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    if (message == WM_TIMER && wparam == 1)
        tick_times.push_back(clock_seconds());
    return WinProc(window, message, wparam, lparam);
}

// Runs the shell for the given time; the close request takes the normal shutdown path.
void run_shell(bool headless, int seconds)
{
    window_system_start(headless);
    window_register_class({"QuillonTimerBench", bench_proc});
    window_handle window = window_create("QuillonTimerBench", "Quillon", 200, 200, 800, 400, nullptr);
    window_show(window);
    std::thread closer([window, seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        event_loop_post(window, WM_CLOSE, 0, 0);
    });
    event_loop_run();
    closer.join();
}

void report(const char* label)
{
    std::vector<double> periods;
    for (size_t i = 1; i < tick_times.size(); i++)
        periods.push_back((tick_times[i] - tick_times[i - 1]) * 1000.0);
    if (periods.empty()) {
        std::printf("%-24s no ticks recorded\n", label);
        return;
    }
    double mean = 0;
    for (double p : periods)
        mean += p;
    mean /= static_cast<double>(periods.size());
    std::sort(periods.begin(), periods.end());
    double p50 = periods[periods.size() / 2];
    double p99 = periods[std::min(periods.size() - 1, periods.size() * 99 / 100)];
    std::printf("%-24s ticks %zu  mean %.3f ms  median %.3f ms  p99 %.3f ms  max %.3f ms\n", label, periods.size(),
                mean, p50, p99, periods.back());
}

} // namespace

int main(int argc, char** argv)
{
    bool window = false;
    int seconds = 5;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--window") == 0)
            window = true;
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1, std::atoi(argv[++i]));
    }
    run_shell(!window, seconds);
    std::fflush(stdout);
    report(window ? "timer 1, window" : "timer 1, headless");
    return 0;
}

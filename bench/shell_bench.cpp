// Idle cost of the application shell: the CPU share of `quillon` doing nothing for ten seconds, and the
// period of its 10 ms timer, headless and with the real window under Xvfb. Prints figures; never fails.
#include "app/main.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/window.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using bench::make_folder;
using bench::spawn;
using bench::start_xvfb;
using bench::stop;

constexpr int measure_seconds = 10;

// User plus system time of a process, in seconds.
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; i++) {
        if (i == 14)
            utime = std::atof(field.c_str());
        if (i == 15)
            stime = std::atof(field.c_str());
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double idle_cpu_share(const std::string& display)
{
    std::string folder = make_folder();
    std::vector<std::string> arguments{QUILLON_BIN};
    if (display.empty())
        arguments.push_back("--headless");
    pid_t pid = spawn(arguments, folder, display);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    double before = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(measure_seconds));
    double share = (cpu_seconds(pid) - before) / measure_seconds;
    stop(pid);
    return share;
}

// Child mode: runs the real shell in this process and writes the timer-1 periods, one a line.
std::vector<double> tick_times;

long bench_proc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    if (message == WM_TIMER && wparam == 1)
        tick_times.push_back(clock_seconds());
    return WinProc(window, message, wparam, lparam);
}

int period_child(const char* out_path, bool headless)
{
    window_system_start(headless);
    window_register_class({"QuillonBench", bench_proc});
    window_handle window = window_create("QuillonBench", "Quillon", 200, 200, 800, 400, nullptr);
    window_show(window);
    std::thread closer([] {
        std::this_thread::sleep_for(std::chrono::seconds(measure_seconds));
        kill(getpid(), SIGTERM);
    });
    event_loop_run();
    closer.join();
    FILE* out = std::fopen(out_path, "w");
    for (size_t i = 1; out != nullptr && i < tick_times.size(); i++)
        std::fprintf(out, "%.9f\n", tick_times[i] - tick_times[i - 1]);
    if (out != nullptr)
        std::fclose(out);
    return 0;
}

void report_periods(const char* self_link, const std::string& display, const char* label)
{
    char self[4096] = {};
    if (readlink(self_link, self, sizeof self - 1) <= 0)
        return;
    std::string folder = make_folder();
    std::string out = folder + "/periods.txt";
    pid_t pid = spawn({self, "--period-child", out, display.empty() ? "headless" : "window"}, folder, display);
    int status = 0;
    waitpid(pid, &status, 0);
    std::vector<double> periods;
    std::ifstream in(out);
    for (double p; in >> p;)
        periods.push_back(p * 1000.0);
    if (periods.empty()) {
        std::printf("%-28s no ticks recorded\n", label);
        return;
    }
    double mean = 0;
    for (double p : periods)
        mean += p;
    mean /= static_cast<double>(periods.size());
    std::sort(periods.begin(), periods.end());
    double p99 = periods[std::min(periods.size() - 1, periods.size() * 99 / 100)];
    std::printf("%-28s ticks %zu  mean %.3f ms  p99 %.3f ms  (goal: p99 within 2 ms of 10 ms)\n", label,
                periods.size(), mean, p99);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--period-child") == 0)
        return period_child(argv[2], std::strcmp(argv[3], "headless") == 0);

    std::printf("quillon idle cost over %d s\n", measure_seconds);
    std::printf("%-28s %.2f %% of one core (goal: below 1 %%)\n", "headless CPU", 100.0 * idle_cpu_share(""));
    report_periods("/proc/self/exe", "", "headless timer 1");

    pid_t server = -1;
    std::string display = start_xvfb(&server);
    if (display.empty()) {
        std::printf("Xvfb not available: window figures skipped\n");
        return 0;
    }
    std::printf("%-28s %.2f %% of one core (goal: below 5 %%)\n", "window (Xvfb) CPU", 100.0 * idle_cpu_share(display));
    report_periods("/proc/self/exe", display, "window (Xvfb) timer 1");
    stop(server);
    return 0;
}

// Idle cost of the application shell: the CPU share of `quillon` doing nothing for ten seconds, and the
// period of its 10 ms timer, headless and with the real window under Xvfb; and its cost while a client
// knocks for three seconds with the program's file descriptors used up. Prints figures; never fails.
#include "app/main.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/window.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
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

// The program with its descriptors used up (the soft limit set at its lowest free number) while a client
// connects and lets go again every 5 ms for three seconds: its CPU share and the log lines it wrote.
void exhausted_descriptors()
{
    std::string folder = make_folder();
    pid_t pid = spawn({QUILLON_BIN, "--headless"}, folder, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::set<int> used;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        used.insert(std::atoi(entry.path().filename().c_str()));
    int lowest_free = 0;
    while (used.count(lowest_free))
        lowest_free++;
    rlimit limit{};
    prlimit(pid, RLIMIT_NOFILE, nullptr, &limit);
    limit.rlim_cur = static_cast<rlim_t>(lowest_free);
    prlimit(pid, RLIMIT_NOFILE, &limit, nullptr);
    auto count_lines = [&] {
        std::ifstream in(folder + "/log.txt");
        int lines = 0;
        for (std::string line; std::getline(in, line);)
            lines++;
        return lines;
    };
    int lines_before = count_lines();
    double before = cpu_seconds(pid);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(32459);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        close(fd);
    }
    double share = (cpu_seconds(pid) - before) / 3.0;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ifstream log(folder + "/log.txt");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    if (text.find("Network Online") == std::string::npos) {
        std::printf("%-28s skipped: the program could not listen on 32459\n", "descriptors used up");
    } else {
        std::printf("%-28s %.2f %% of one core, %d log lines in 3 s (goals: below 5 %%, under 100 lines)\n",
                    "descriptors used up", 100.0 * share, count_lines() - lines_before);
    }
    stop(pid);
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
    exhausted_descriptors();

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

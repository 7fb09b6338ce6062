// The command cycle as the board sees it: the real quillon, headless, against quillon-sim (paced at
// 57,600 baud) for ten seconds. Prints the command rate the board saw and how far the intervals between
// commands stray from 100 ms. Run it under `flock /tmp/quillon-port.lock`: the program listens on 32459.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using bench::spawn;
using bench::stop;

constexpr double measure_seconds = 10.0;
constexpr double warm_up_seconds = 1.0;

// Times of the command packets (device 1, 8 payload bytes) in the sim's record.
std::vector<double> command_times(const std::string& record)
{
    std::ifstream in(record);
    std::vector<double> times;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        double time = 0;
        std::string device, length;
        if (words >> time >> device >> length && device == "01" && length == "08")
            times.push_back(time);
    }
    return times;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

void report(const std::vector<double>& all)
{
    if (all.empty()) {
        std::printf("the board received no commands\n");
        return;
    }
    double from = all.front() + warm_up_seconds;
    std::vector<double> times;
    for (double t : all)
        if (t >= from && t < from + measure_seconds)
            times.push_back(t);
    std::vector<double> deviations;
    for (size_t i = 1; i < times.size(); i++)
        deviations.push_back(std::fabs(times[i] - times[i - 1] - 0.100) * 1000.0);
    double rate = static_cast<double>(times.size()) / measure_seconds;
    std::printf("commands the board received in %.0f s: %zu\n", measure_seconds, times.size());
    std::printf("command rate: %.3f per second (%+.2f %% from 10; goal within 2 %%)\n", rate, (rate - 10.0) * 10.0);
    std::printf("interval deviation from 100 ms: median %.3f ms, 99th percentile %.3f ms (goal within 5 ms), "
                "max %.3f ms\n",
                percentile(deviations, 0.5), percentile(deviations, 0.99), percentile(deviations, 1.0));
}

} // namespace

int main()
{
    std::string pattern = std::filesystem::temp_directory_path().string() + "/quillon-bus-bench-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) == nullptr)
        return 1;
    std::string folder = name.data();
    std::string record = folder + "/bus.rec";
    std::string sim_bin = std::string(QUILLON_BIN_DIR) + "/quillon-sim";

    pid_t sim = spawn({sim_bin, "--write-config", folder, "--record", record, "--baud-pace", "--quiet"}, folder);
    for (int i = 0; i < 500 && !std::filesystem::exists(folder + "/config.txt"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pid_t program = spawn({QUILLON_BIN, "--headless"}, folder);
    std::this_thread::sleep_for(std::chrono::duration<double>(measure_seconds + warm_up_seconds + 0.5));
    int program_exit = stop(program);
    stop(sim);

    std::printf("quillon --headless against quillon-sim --baud-pace\n");
    report(command_times(record));
    std::printf("quillon exit code: %d\n", program_exit);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

// How soon a STOP reaches the board: for each kind of driver, STOP while it drives, to the first
// 80 80 80 80 the simulated board receives, with commands on change and without. The link and the robot's
// keyboard are stopped by a browser's STOP (they have none of their own); Foxglove by its neutral Twist;
// MQTT by a message on the stop topic. The board's record keeps its own clock (CLOCK_MONOTONIC since the
// simulator started); its offset from this program's clock is the least gap seen between a line's time
// and its reading. Prints the median, 99th percentile and worst, in milliseconds.
//   stops_bench [ROUNDS]        (20 by default)
#include "stops_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace integration;
using clock_type = std::chrono::steady_clock;

namespace {

double seconds_now()
{
    return std::chrono::duration<double>(clock_type::now().time_since_epoch()).count();
}

// Polls the record until a neutral command after `from` arrives; returns its time on this clock.
double neutral_arrival(stops_rig& rig, size_t from, double* offset)
{
    for (double give_up = seconds_now() + 3.0; seconds_now() < give_up;) {
        auto commands = read_board_commands(rig.folder.file("bus.txt"));
        double seen = seconds_now();
        if (!commands.empty())
            *offset = std::min(*offset, seen - commands.back().time);
        for (size_t i = from; i < commands.size(); i++)
            if (commands[i].neutral())
                return commands[i].time + *offset;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return -1.0;
}

void drive_until_moving(stops_rig& rig, driver_type& driver)
{
    size_t mark = rig.received();
    wait_until([&] {
        driver.press();
        return rig.board_gets(mark, moving, std::chrono::milliseconds(100));
    }, std::chrono::milliseconds(5000));
}

void print(const char* kind, bool on_change, std::vector<double> ms)
{
    if (ms.empty()) {
        std::printf("%-9s %-9s no figure\n", kind, on_change ? "1" : "0");
        return;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * (ms.size() - 1) + 0.5))]; };
    std::printf("%-9s %-9s %6.1f %6.1f %6.1f %5zu\n", kind, on_change ? "1" : "0", at(0.5), at(0.99), ms.back(),
                ms.size());
    std::fflush(stdout);
}

void measure(bool on_change, int rounds)
{
    stops_rig rig(on_change);
    stops_drivers drivers(rig);
    double offset = 1e9;
    for (const char* kind : {"browser", "foxglove", "mqtt", "keyboard", "link"}) {
        if (drivers.count(kind) == 0)
            continue;
        driver_type& driver = drivers[kind];
        std::string name = kind;
        std::vector<double> ms;
        for (int round = 0; round < rounds; round++) {
            drive_until_moving(rig, driver);
            std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * (round % 5)));  // off the cycle's beat
            size_t mark = rig.received();
            double sent = seconds_now();
            if (name == "foxglove")
                driver.let_go();
            else if (name == "mqtt")
                rig.mqtt.publish("quillon/rover/stop", "{}");
            else
                drivers.stop();
            double arrived = neutral_arrival(rig, mark, &offset);
            if (arrived > 0.0)
                ms.push_back(1000.0 * (arrived - sent));
            driver.let_go();
            rig.stays_neutral(12);  // the idle rule runs out: the next round presses afresh
        }
        print(kind, on_change, ms);
    }
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    std::printf("STOP to 80 80 80 80 at the board, %d rounds each (ms)\n", rounds);
    std::printf("driver    on change median    p99  worst  count\n");
    for (bool on_change : {true, false})
        measure(on_change, rounds);
    return 0;
}

// The one-driver table: takeovers across kinds, the deadman, STOP blocking, the keyboard at the robot,
// the link's arrival and departure, proportional mixing, and submissions from many threads.
#include "robot/drivers.h"

#include "bus_support.h"
#include "console/input.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class act { drive, stop, leave, check, link_on, link_off, key_down, key_up, link_message };
enum class motion { any, neutral, forward, backward, link };

constexpr driver_kind B = driver_kind::browser, F = driver_kind::foxglove, Q = driver_kind::mqtt,
                      K = driver_kind::keyboard, L = driver_kind::link, N = driver_kind::none;
constexpr unsigned int W = drive_key_w, S = drive_key_s;

struct step_type {
    double time;
    act action;
    driver_kind kind;  // who acts (drive, stop, leave)
    uint64_t id;
    unsigned int keys;
    driver_kind expect_kind;  // who drives afterwards
    uint64_t expect_id;
    motion expect_motion;
};

struct scenario_type {
    const char* name;
    std::vector<step_type> steps;
};

control_type control_now()
{
    control_type c;
    robot.get_control(&c);
    return c;
}

bool motion_is(motion wanted)
{
    control_type c = control_now();
    switch (wanted) {
    case motion::neutral: return c.left_target == 0 && c.right_target == 0 && c.left_speed == 0 && c.right_speed == 0;
    case motion::forward: return c.left_target > 30 && c.right_target > 30 && !c.left_reverse && !c.right_reverse;
    case motion::backward: return c.left_target > 0 && c.left_reverse && c.right_reverse;
    case motion::link: return c.left_target == 100 && c.right_target == 100;
    default: return true;
    }
}

void perform(const step_type& step)
{
    drive_command_type command;
    command.keys = step.keys;
    switch (step.action) {
    case act::drive: drivers_drive(step.kind, step.id, command); break;
    case act::stop: drivers_stop(step.kind, step.id); break;
    case act::leave: drivers_leave(step.kind, step.id); break;
    case act::check: drivers_check(step.time); break;
    case act::link_on: drivers_link(true); break;
    case act::link_off: drivers_link(false); break;
    case act::key_down: input_key_down('W', 0); break;
    case act::key_up: input_key_up('W'); break;
    case act::link_message: {
        const unsigned char record[7] = {0, 0, 100, 100, 128, 128, 0};  // what the link applies for a control message
        robot.set_control(record);
        break;
    }
    }
    drivers_apply(step.time);
}

class Drivers : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    void reset()
    {
        for (driver_kind kind : {B, F, Q})
            drivers_forget(kind);
        drivers_link(false);
        input_lose_focus();
        drivers_keyboard(false);
        robot.set_auto_mode(false);
        robot.reset_control();
    }
    bus_test::test_log log;
};

const std::vector<scenario_type> scenarios = {
    {"the first remote driver holds until it lets go; then the next fresh press drives",
     {{0.0, act::drive, B, 2, 0, N, 0, motion::neutral},  // a release from nobody's driver changes nothing
      {0.0, act::drive, B, 1, W, B, 1, motion::forward},
      {0.05, act::drive, F, 7, S, B, 1, motion::forward},  // a Foxglove client watches
      {0.1, act::drive, B, 1, 0, B, 1, motion::neutral},   // released: neutral, still the driver for a second
      {0.99, act::check, N, 0, 0, B, 1, motion::neutral},
      {1.01, act::check, N, 0, 0, N, 0, motion::neutral},
      {1.2, act::drive, F, 7, S, F, 7, motion::backward},
      {1.3, act::stop, Q, 3, 0, N, 0, motion::neutral},    // STOP from anyone
      {1.35, act::drive, F, 7, S, N, 0, motion::neutral},  // still held from before the STOP
      {1.4, act::drive, F, 7, 0, N, 0, motion::neutral},
      {1.45, act::drive, Q, 3, W, Q, 3, motion::forward}}},
    {"the deadman stops a silent driver; leaving lets go",
     {{0.0, act::drive, B, 1, W, B, 1, motion::forward},
      {0.5, act::check, N, 0, 0, B, 1, motion::forward},
      {0.51, act::check, N, 0, 0, B, 1, motion::neutral},
      {0.7, act::drive, B, 1, W, B, 1, motion::forward},  // it speaks again: it drives again
      {0.75, act::leave, B, 1, 0, N, 0, motion::neutral}}},
    {"a key pressed at the robot takes over; browsers press again after it",
     {{0.0, act::drive, B, 1, W, B, 1, motion::forward},
      {0.01, act::key_down, N, 0, 0, K, 0, motion::forward},
      {0.02, act::drive, B, 1, S, K, 0, motion::forward},  // its pad is locked: S does not reverse the robot
      {0.03, act::drive, B, 1, 0, K, 0, motion::forward},  // its release does not stop the robot either
      {0.04, act::drive, B, 1, W, K, 0, motion::forward},
      {0.05, act::key_up, N, 0, 0, N, 0, motion::neutral},
      {0.06, act::drive, B, 1, W, N, 0, motion::neutral},  // held across the keyboard's turn: press again
      {0.07, act::drive, B, 1, 0, N, 0, motion::neutral},
      {0.08, act::drive, B, 1, W, B, 1, motion::forward}}},
    {"a STOP while the keyboard drives waits for its keys to be released",
     {{0.0, act::key_down, N, 0, 0, K, 0, motion::forward},
      {0.01, act::stop, B, 1, 0, N, 0, motion::neutral},
      {0.02, act::key_up, N, 0, 0, N, 0, motion::neutral},
      {0.03, act::key_down, N, 0, 0, K, 0, motion::forward}}},
    {"the link drives first, its first message stands, and watchers press again after it",
     {{0.0, act::drive, B, 1, W, B, 1, motion::forward},
      {0.01, act::link_on, N, 0, 0, L, 0, motion::neutral},
      {0.011, act::link_message, N, 0, 0, L, 0, motion::link},
      {0.02, act::check, N, 0, 0, L, 0, motion::link},  // the next tick keeps it
      {0.03, act::drive, B, 1, W, L, 0, motion::link},
      {0.04, act::key_down, N, 0, 0, L, 0, motion::link},
      {0.05, act::stop, B, 1, 0, L, 0, motion::neutral},  // a browser's STOP still stops the link's command
      {0.06, act::link_off, N, 0, 0, N, 0, motion::neutral},
      {0.07, act::drive, B, 1, W, N, 0, motion::neutral},
      {0.08, act::drive, B, 1, 0, N, 0, motion::neutral},
      {0.09, act::drive, B, 1, W, B, 1, motion::forward}}},
};

} // namespace

TEST_F(Drivers, TakeoverTable)
{
    for (const scenario_type& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        reset();
        for (size_t i = 0; i < scenario.steps.size(); i++) {
            const step_type& step = scenario.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            perform(step);
            uint64_t id = 99;
            EXPECT_EQ(drivers_current(&id), step.expect_kind);
            EXPECT_EQ(id, step.expect_id);
            EXPECT_TRUE(motion_is(step.expect_motion));
            bool remote = step.expect_kind != N && step.expect_kind != K;
            EXPECT_EQ(remote_mode, remote);
            EXPECT_EQ(drivers_remote(), remote);
        }
    }
    EXPECT_EQ(log.count_starting("Drivers: the driving browser fell silent"), 1);
    EXPECT_EQ(log.count_starting("Drivers: the robot's keyboard takes over from browser 1"), 1);
}

TEST_F(Drivers, ProportionalCommandsShareTheKeyboardsLimits)
{
    const double full = drivers_full_speed * 240.0;
    struct {
        double forward, turn, left, right;  // targets, negative for reverse
    } table[] = {
        {1, 0, full, full},           {0.5, 0, full / 2, full / 2}, {-1, 0, -full, -full},
        {1, 1, full, 0},              {0, 1, full, -full},          {0, -0.5, -full / 2, full / 2},
        {5, 0, full, full},           {NAN, 0, 0, 0},               {0.5, 0.5, full, 0},
    };
    double time = 0.0;
    for (const auto& row : table) {
        SCOPED_TRACE(std::to_string(row.forward) + ", " + std::to_string(row.turn));
        drive_command_type command;
        command.proportional = true;
        command.forward = row.forward;
        command.turn = row.turn;
        drivers_drive(F, 1, command);
        drivers_apply(time += 0.01);
        control_type c = control_now();
        EXPECT_NEAR(c.left_reverse ? -c.left_target : c.left_target, row.left, 1e-9);
        EXPECT_NEAR(c.right_reverse ? -c.right_target : c.right_target, row.right, 1e-9);
        EXPECT_LT(c.left_target, 128.0);
        EXPECT_LT(c.right_target, 128.0);
    }
    // The keyboard table's fastest side is the full speed: W with D.
    motion_type fastest = choose_motion(true, false, false, true);
    EXPECT_NEAR((fastest.turn + 2 * fastest.forward) * 240.0, full, 1e-9);
}

TEST_F(Drivers, SubmissionsFromManyThreadsAreCoalesced)
{
    // Nobody applies: a flood of one driver's drives and STOPs asks for one wake-up.
    uint64_t before = drivers_wakeups();
    drive_command_type held;
    held.keys = W;
    for (int i = 0; i < 10000; i++) {
        drivers_drive(B, 5, held);
        drivers_stop(B, 5);
    }
    EXPECT_EQ(drivers_wakeups(), before + 1);
    drivers_apply(0.0);
    EXPECT_TRUE(motion_is(motion::neutral));
    // At most a line at once and one once a second has passed, which counts the rest.
    auto stop_lines = [this](long* counted) {
        int lines = 0;
        *counted = 0;
        for (const std::string& line : log.lines()) {
            if (line.rfind("STOP from browser 5", 0) != 0)
                continue;
            lines++;
            size_t more = line.find(": ");
            *counted += more == std::string::npos ? 1 : std::stol(line.substr(more + 2));
        }
        return lines;
    };
    long counted = 0;
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (stop_lines(&counted); counted < 10000 && std::chrono::steady_clock::now() < limit; stop_lines(&counted)) {
        drivers_check(0.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(stop_lines(&counted), 2);
    EXPECT_GE(counted, 10000);
    EXPECT_LE(counted, 10010);  // "and others": STOPs of the tests before, within their last second

    // Four threads at once while the window thread applies: every wake-up found something waiting.
    std::vector<std::thread> threads;
    std::atomic<bool> done{false};
    for (driver_kind kind : {B, F, Q, B})
        threads.emplace_back([kind, &held] {
            for (uint64_t i = 0; i < 20000; i++)
                drivers_drive(kind, 1 + i % 3, held);
            drivers_leave(kind, 1);
            drivers_leave(kind, 2);
            drivers_leave(kind, 3);
        });
    std::thread window([&done] {
        while (!done)
            drivers_apply(0.0);
    });
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    window.join();
    drivers_apply(0.0);
    EXPECT_EQ(drivers_current(), N);  // every driver left
    EXPECT_TRUE(motion_is(motion::neutral));
}

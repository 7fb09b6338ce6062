// The motion authority with the robot's record: takeovers across kinds, the deadman, a STOP that holds,
// the keyboard at the robot, the link's arrival and departure, proportional mixing, the order of arrival,
// refused drivers told why, submissions from many threads, and the speed ramp.
#include "robot/motion.h"

#include "bus_support.h"
#include "console/input.h"
#include "robot/drivers.h"
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

void link(intent_action action, unsigned char target, double time)
{
    intent_type intent;
    intent.who = {L, 0};
    intent.action = action;
    intent.record[2] = intent.record[3] = target;
    motion_submit(intent, time);
}

void perform(const step_type& step)
{
    drive_command_type command;
    command.keys = step.keys;
    switch (step.action) {
    case act::drive: drivers_drive(step.kind, step.id, command); break;
    case act::stop: drivers_stop(step.kind, step.id); break;
    case act::leave: drivers_leave(step.kind, step.id); break;
    case act::check: motion_check(step.time); break;
    case act::link_on: link(intent_action::link_connect, 0, step.time); break;
    case act::link_off: link(intent_action::link_lost, 0, step.time); break;
    case act::key_down: input_key_down('W', 0); break;
    case act::key_up: input_key_up('W'); break;
    case act::link_message: link(intent_action::link_record, static_cast<unsigned char>(step.keys), step.time); break;
    }
    motion_apply(step.time);
}

class Motion : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    void reset()
    {
        std::memset(keys, 0, sizeof keys);
        motion_reset();
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
    {"the link drives first, its first message stands, a STOP holds it, and watchers press again after it",
     {{0.0, act::drive, B, 1, W, B, 1, motion::forward},
      {0.01, act::link_on, N, 0, 0, L, 0, motion::neutral},
      {0.011, act::link_message, N, 0, 100, L, 0, motion::link},
      {0.02, act::check, N, 0, 0, L, 0, motion::link},  // the next tick keeps it
      {0.03, act::drive, B, 1, W, L, 0, motion::link},
      {0.04, act::key_down, N, 0, 0, L, 0, motion::link},
      {0.05, act::stop, B, 1, 0, L, 0, motion::neutral},  // a browser's STOP stops the link's command...
      {0.1, act::link_message, N, 0, 100, L, 0, motion::neutral},  // ... and holds it
      {0.2, act::link_message, N, 0, 0, L, 0, motion::neutral},    // until a neutral record
      {0.3, act::link_message, N, 0, 100, L, 0, motion::link},
      {0.35, act::link_off, N, 0, 0, N, 0, motion::neutral},
      {0.4, act::drive, B, 1, W, N, 0, motion::neutral},
      {0.45, act::drive, B, 1, 0, N, 0, motion::neutral},
      {0.5, act::drive, B, 1, W, B, 1, motion::forward}}},
};

} // namespace

TEST_F(Motion, TakeoverTable)
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

TEST_F(Motion, ProportionalCommandsShareTheKeyboardsLimits)
{
    const double full = motion_full_speed * 240.0;
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
        motion_apply(time += 0.01);
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

TEST_F(Motion, SubmissionsFromManyThreadsAreCoalesced)
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
    motion_apply(0.0);
    EXPECT_TRUE(motion_is(motion::neutral));
    // At most a line at once and one once a second has passed, which counts the rest.
    auto stop_lines = [this](long* counted) {
        int lines = 0;
        *counted = 0;
        for (const std::string& line : log.lines()) {
            if (line.rfind("STOP from browser 5", 0) != 0 || line.find("held") != std::string::npos)
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
        motion_check(0.0);
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
            motion_apply(0.0);
    });
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    window.join();
    motion_apply(0.0);
    EXPECT_EQ(drivers_current(), N);  // every driver left
    EXPECT_TRUE(motion_is(motion::neutral));
}

TEST_F(Motion, NothingThatArrivedBeforeAStopTakesEffectAfterIt)
{
    // An MQTT operator's press, then a browser's STOP, both waiting for the window thread: the press is
    // applied first however the drivers sort, and the STOP holds it.
    drive_command_type press;
    press.keys = W;
    drivers_drive(Q, 9, press);
    drivers_stop(B, 1);
    drivers_drive(F, 4, press);  // after the STOP: a fresh press drives
    motion_apply(0.0);
    uint64_t id = 0;
    EXPECT_EQ(drivers_current(&id), F);
    EXPECT_EQ(id, 4u);
    EXPECT_TRUE(motion_state().remotes.at({Q, 9}).held);
    EXPECT_TRUE(log.wait_for("STOP from browser 1: mqtt 9 is held until they let go and press again."));
    // Its release and its next press, waiting together, are both applied: it is free, and presses again.
    drivers_leave(F, 4);
    drivers_drive(Q, 9, drive_command_type{});
    drivers_drive(Q, 9, press);
    motion_apply(0.1);
    EXPECT_EQ(drivers_current(&id), Q);
}

TEST_F(Motion, ARefusedDriverIsToldWhyAtMostOnceASecond)
{
    std::vector<std::pair<uint64_t, std::string>> told;
    motion_listen(B, [&told](uint64_t id, const std::string& text) { told.emplace_back(id, text); });
    drive_command_type press;
    press.keys = W;
    drivers_drive(B, 1, press);
    motion_apply(0.0);
    for (double time = 0.0; time < 2.5; time += 0.05) {
        drivers_drive(B, 2, press);
        motion_apply(time);
        drivers_drive(B, 1, press);  // the driver keeps the robot
        motion_apply(time);
    }
    motion_listen(B, {});
    ASSERT_EQ(told.size(), 3u);  // at 0, 1 and 2 s
    EXPECT_EQ(told[0], std::make_pair(uint64_t{2}, std::string("browser 1 drives the robot; you can drive once it lets go")));
}

TEST(MotionRamp, RisingSpeedsGlideAndNeverPassTheTarget)
{
    robot.reset_control();
    robot.change_control([](control_type& c) {
        c.left_target = 100;
        c.right_target = 50;
    });
    motion_ramp(0.0);
    EXPECT_EQ(control_now().left_speed, 0.0) << "no time, no step";
    motion_ramp(0.01);
    EXPECT_DOUBLE_EQ(control_now().left_speed, 2.0);
    EXPECT_DOUBLE_EQ(control_now().right_speed, 1.0);
    double previous = 2.0;
    for (int i = 0; i < 2000; i++) {
        motion_ramp(0.01);
        double speed = control_now().left_speed;
        ASSERT_GE(speed, previous);
        ASSERT_LE(speed, 100.0);
        previous = speed;
    }
    EXPECT_NEAR(previous, 100.0, 1e-6);
    robot.change_control([](control_type& c) {
        c.left_speed = 10;
        c.left_target = 100;
    });
    motion_ramp(0.8);  // a long pause would overshoot by the plain formula
    EXPECT_EQ(control_now().left_speed, 100.0);
    robot.reset_control();
}

TEST(MotionRamp, LowerTargetIsTakenAtOnceAndSpeedsStayNonNegative)
{
    robot.reset_control();
    robot.change_control([](control_type& c) {
        c.left_speed = 80;
        c.left_target = 20;
        c.right_speed = 80;
        c.right_target = 0;
    });
    motion_ramp(0.01);
    EXPECT_EQ(control_now().left_speed, 20.0);
    EXPECT_EQ(control_now().right_speed, 0.0);
    robot.change_control([](control_type& c) {
        c.left_speed = 80;
        c.right_speed = 80;
    });
    motion_ramp(2.0);  // a pause of two seconds used to take the speed below its target, even below 0
    EXPECT_EQ(control_now().left_speed, 20.0);
    EXPECT_EQ(control_now().right_speed, 0.0);
    robot.reset_control();
}


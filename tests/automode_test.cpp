// The automatic mode: its state machine on telemetry the tests choose, and its thread beside the ramp.
#include "automode/automode.h"

#include "services/message_lines.h"

#include "services/log.h"

#include "robot/drivers.h"
#include "robot/motion.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// A sleep of the state machine with the control record as it stood when the sleep began.
struct sleep_type {
    unsigned int milliseconds;
    control_type control;
};

std::mutex test_lock;                 // guards the five below
std::condition_variable test_changed; // a sleep waits to be recorded, or has been
std::vector<sleep_type> sleeps;       // manoeuvre sleeps (all but the 10 ms of a pass)
telemetry_type test_telemetry;        // what the thread reads while a test has replaced the source
bool real_sleep = false;              // thread tests sleep 1 ms for each sleep of the machine
unsigned int waiting_sleep = 0;       // a manoeuvre sleep the test's window loop is to record
bool window_serves = false;           // a thread test plays the window thread: it records the sleeps
std::atomic<int> passes{0};           // 10 ms sleeps: one per pass

// The record as the window thread has it once the machine's intents so far are applied.
void record_sleep_locked(unsigned int milliseconds)
{
    sleep_type entry{milliseconds, {}};
    motion_apply(0.0);
    robot.get_control(&entry.control);
    sleeps.push_back(entry);
}

void recording_sleep(unsigned int milliseconds)
{
    bool pause;
    {
        std::unique_lock<std::mutex> hold(test_lock);
        if (milliseconds != 10 && !real_sleep) {
            record_sleep_locked(milliseconds);  // one thread: the test's is the window thread too
        } else if (milliseconds != 10 && window_serves) {
            waiting_sleep = milliseconds;
            test_changed.notify_all();
            test_changed.wait(hold, [] { return waiting_sleep == 0 || !window_serves; });
        }
        pause = real_sleep;
    }
    if (milliseconds == 10)
        passes++;
    if (pause)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void test_source(telemetry_type* out)
{
    std::lock_guard<std::mutex> hold(test_lock);
    *out = test_telemetry;
}

void set_analog(float a0, float a1, float a2)
{
    std::lock_guard<std::mutex> hold(test_lock);
    test_telemetry = telemetry_type{};
    test_telemetry.analog[0] = a0;
    test_telemetry.analog[1] = a1;
    test_telemetry.analog[2] = a2;
}

std::vector<sleep_type> taken_sleeps()
{
    std::lock_guard<std::mutex> hold(test_lock);
    std::vector<sleep_type> taken;
    taken.swap(sleeps);
    return taken;
}

void clear_lines()
{
    message_lines_clear();
}

std::vector<std::string> lines()
{
    return message_lines_shown();
}

// Log lines without their time stamps.
std::vector<std::string> log_lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);)
        all.push_back(line.substr(line.find("] ") + 2));
    return all;
}

int count(const std::vector<std::string>& all, const std::string& text)
{
    int n = 0;
    for (const auto& line : all)
        n += line == text;
    return n;
}

template <class F> bool wait_until(F condition)
{
    for (int i = 0; i < 5000; i++) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void expect_targets(const control_type& control, double target, bool left_reverse, bool right_reverse)
{
    EXPECT_EQ(control.left_target, target);
    EXPECT_EQ(control.right_target, target);
    EXPECT_EQ(control.left_reverse, left_reverse);
    EXPECT_EQ(control.right_reverse, right_reverse);
}

// The automatic mode switched as the M key does.
void switch_auto(bool on)
{
    intent_type intent;
    intent.who = {driver_kind::keyboard, 0};
    intent.action = intent_action::auto_mode;
    intent.command.keys = on ? 1 : 0;
    motion_submit(intent, 0.0);
}

// The record once what the machine asked for is applied.
control_type applied_control()
{
    motion_apply(0.0);
    control_type control;
    robot.get_control(&control);
    return control;
}

// A control record the machine must partly keep: applied speeds and the pass-through bytes.
control_type marked_control()
{
    return control_type{7.0, 9.0, 3.0, 4.0, true, false, 11, 22};
}

class Automode : public testing::Test {
protected:
    void SetUp() override
    {
        log_path = testing::TempDir() + std::to_string(getpid()) + "_automode_log.txt";
        log_restart(log_path.c_str());
        automode_set_hooks(recording_sleep, test_source);
        set_analog(0, 0, 0);
        taken_sleeps();
        real_sleep = false;
        motion_reset();
        switch_auto(false);
        robot.set_control(marked_control());
        clear_lines();
    }

    void TearDown() override
    {
        motion_reset();
        automode_set_hooks(automode_real_sleep, automode_robot_telemetry);
    }

    // Waits until the thread has begun two more passes: one of them read the switch after this call.
    void wait_for_a_whole_pass()
    {
        int seen = passes;
        ASSERT_TRUE(wait_until([&] { return passes >= seen + 2; }));
    }

    std::string log_path;
};

// The automode thread against the test's thread: these run under the thread sanitizer.
class AutomodeConcurrency : public Automode {};

} // namespace

TEST_F(Automode, StopWithoutStartOnlyLogs)
{
    automode_stop();
    EXPECT_EQ(log_lines(log_path), std::vector<std::string>{"automode stop"});
    EXPECT_TRUE(lines().empty());
}

TEST_F(Automode, WhileOffAPassKeepsStateTwoAndTouchesNothing)
{
    set_analog(500, 500, 500);
    for (int mode : {2, 3, 5, 8})
        EXPECT_EQ(automode_pass(mode), 2);
    control_type control;
    robot.get_control(&control);
    EXPECT_EQ(control.left_target, 7.0);
    EXPECT_EQ(control.right_target, 9.0);
    EXPECT_EQ(control.left_speed, 3.0);
    EXPECT_TRUE(control.left_reverse);
    EXPECT_EQ(control.aux1, 11);
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(taken_sleeps().empty());
}

TEST_F(Automode, SwitchingOnStartsForwardAndReadsTheRangeInTheSamePass)
{
    switch_auto(true);
    robot.set_control(marked_control());  // left by others: the machine keeps its speeds and bytes
    set_analog(0.5f, 0.5f, 42.9f);
    EXPECT_EQ(automode_pass(2), 3);
    EXPECT_EQ(lines(), (std::vector<std::string>{"Enter mode forward", "analog: 42"}));
    control_type control = applied_control();
    expect_targets(control, 48.0, false, false);
    EXPECT_EQ(control.left_speed, 3.0);
    EXPECT_EQ(control.right_speed, 4.0);
    EXPECT_EQ(control.aux2, 22);
    EXPECT_EQ(automode_pass(3), 3);
    EXPECT_EQ(lines().size(), 3u);
    EXPECT_TRUE(taken_sleeps().empty());
}

TEST_F(Automode, DetectionRunsHaltBackUpChooseAndTurnInOnePass)
{
    switch_auto(true);
    robot.set_control(marked_control());  // left by others: the machine keeps its speeds and bytes
    set_analog(10, 20, 150.9f);
    EXPECT_EQ(automode_pass(3), 2);
    EXPECT_EQ(lines(), (std::vector<std::string>{"analog: 150", "Detect"}));
    std::vector<sleep_type> manoeuvre = taken_sleeps();
    ASSERT_EQ(manoeuvre.size(), 5u);
    const unsigned int lengths[5] = {1000, 1000, 500, 800, 1000};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(manoeuvre[i].milliseconds, lengths[i]) << i;
    expect_targets(manoeuvre[0].control, 0.0, true, false);  // the halt keeps the directions
    expect_targets(manoeuvre[1].control, 48.0, true, true);
    expect_targets(manoeuvre[2].control, 0.0, false, false);
    expect_targets(manoeuvre[3].control, 160.0, true, false);  // channel 0 not higher: turn left
    expect_targets(manoeuvre[4].control, 0.0, false, false);
    EXPECT_EQ(manoeuvre[4].control.aux1, 11);

    set_analog(201, 20, 0);
    EXPECT_EQ(automode_pass(3), 2);
    manoeuvre = taken_sleeps();
    ASSERT_EQ(manoeuvre.size(), 5u);
    expect_targets(manoeuvre[3].control, 160.0, false, true);  // channel 0 higher: turn right
    set_analog(0, 0, 0);
    EXPECT_EQ(automode_pass(2), 3) << "the next pass starts forward again";
    EXPECT_EQ(lines().back(), "analog: 0");
}

TEST_F(Automode, ThresholdsAreStrict)
{
    switch_auto(true);
    robot.set_control(marked_control());  // left by others: the machine keeps its speeds and bytes
    const float above_150 = std::nextafter(150.0f, 1000.0f);
    const float above_200 = std::nextafter(200.0f, 1000.0f);
    set_analog(200, 200, 150);
    EXPECT_EQ(automode_pass(3), 3);
    EXPECT_TRUE(taken_sleeps().empty());
    for (auto [a0, a1, a2] : {std::tuple{0.0f, 0.0f, above_150}, std::tuple{above_200, 0.0f, 0.0f},
                              std::tuple{0.0f, above_200, 0.0f}}) {
        set_analog(a0, a1, a2);
        EXPECT_EQ(automode_pass(3), 2) << a0 << " " << a1 << " " << a2;
        EXPECT_EQ(taken_sleeps().size(), 5u);
    }
    EXPECT_EQ(count(log_lines(log_path), "Detect"), 3);
}

TEST_F(Automode, EqualSideChannelsTurnLeft)
{
    switch_auto(true);
    robot.set_control(marked_control());  // left by others: the machine keeps its speeds and bytes
    set_analog(250, 250, 0);
    EXPECT_EQ(automode_pass(3), 2);
    std::vector<sleep_type> manoeuvre = taken_sleeps();
    ASSERT_EQ(manoeuvre.size(), 5u);
    expect_targets(manoeuvre[3].control, 160.0, true, false);
}

TEST_F(Automode, TheProgramReadsTheRobotsTelemetry)
{
    telemetry_type robot_telemetry, read;
    robot.get_telemetry(&robot_telemetry);
    read.analog[5] = 99;
    automode_robot_telemetry(&read);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(read.analog[i], robot_telemetry.analog[i]);
    automode_set_hooks(recording_sleep, automode_robot_telemetry);
    switch_auto(true);
    robot.set_control(marked_control());  // left by others: the machine keeps its speeds and bytes
    EXPECT_EQ(automode_pass(3), 3) << "fractions below 1 never pass a threshold";
    EXPECT_EQ(lines(), std::vector<std::string>{"analog: 0"});
}

TEST_F(AutomodeConcurrency, ThreadAddsNoLinesWhileOffAndReentersForwardAfterOffAndOn)
{
    real_sleep = true;
    automode_start();
    EXPECT_EQ(lines(), std::vector<std::string>{"Automode start"});
    wait_for_a_whole_pass();
    wait_for_a_whole_pass();
    EXPECT_EQ(lines().size(), 1u) << "no lines while the mode is off";
    control_type control;
    robot.get_control(&control);
    EXPECT_EQ(control.left_target, 7.0) << "nor changes to the record";

    switch_auto(true);
    ASSERT_TRUE(wait_until([&] { return count(log_lines(log_path), "analog: 0") >= 2; }));
    switch_auto(false);
    wait_for_a_whole_pass();
    std::size_t logged = log_lines(log_path).size();
    wait_for_a_whole_pass();
    EXPECT_EQ(log_lines(log_path).size(), logged) << "no lines while the mode is off";
    switch_auto(true);
    ASSERT_TRUE(wait_until([&] { return count(log_lines(log_path), "Enter mode forward") == 2; }));
    automode_stop();
    std::vector<std::string> all = log_lines(log_path);
    EXPECT_EQ(all.front(), "Automode start");
    EXPECT_EQ(count(all, "automode stop"), 1);
    EXPECT_EQ(count(all, "Enter mode forward"), 2);
}

// The automode thread submits its targets while this thread plays the window thread: it applies them and
// runs the ramp. Whenever the machine sleeps, the record holds exactly what it last asked for.
TEST_F(AutomodeConcurrency, TheThreadsTargetsReachTheRecordThroughTheWindowThread)
{
    real_sleep = true;
    switch_auto(true);
    set_analog(0, 0, 300);  // an obstacle in every pass: the machine keeps manoeuvring
    window_serves = true;
    automode_start();
    for (bool enough = false; !enough;) {
        std::unique_lock<std::mutex> hold(test_lock);
        test_changed.wait_for(hold, std::chrono::milliseconds(1), [] { return waiting_sleep != 0; });
        motion_check(0.01 * static_cast<double>(passes));
        if (waiting_sleep != 0) {
            record_sleep_locked(waiting_sleep);
            waiting_sleep = 0;
            test_changed.notify_all();
        }
        enough = sleeps.size() >= 30;
    }
    {
        std::lock_guard<std::mutex> hold(test_lock);
        window_serves = false;
        test_changed.notify_all();
    }
    automode_stop();
    std::vector<sleep_type> seen = taken_sleeps();
    ASSERT_GE(seen.size(), 30u);
    seen.resize(seen.size() - seen.size() % 5);
    for (std::size_t i = 0; i < seen.size(); i += 5) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].control.left_target, 0.0);
        expect_targets(seen[i + 1].control, 48.0, true, true);
        expect_targets(seen[i + 2].control, 0.0, false, false);
        expect_targets(seen[i + 3].control, 160.0, true, false);
        expect_targets(seen[i + 4].control, 0.0, false, false);
    }
    EXPECT_GE(count(log_lines(log_path), "Detect"), 6);
}

// The automatic mode: the automode thread and its obstacle-avoiding state machine.
#include "automode/automode.h"

#include "services/threads.h"
#include "services/log.h"
#include "services/message_lines.h"
#include "robot/drivers.h"
#include "robot/robot.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace {

struct automode_type {
    bool init = false;                       // the thread was started; automode_stop waits only then
    bool thread_running = false;             // the thread keeps looping while true
    std::mutex thread_running_lock;          // guards thread_running
    std::thread thread_handle;               // the automode thread
    std::thread::id thread_id;               // id of the automode thread
    int cur_mode = 2;                        // state of the machine; only the automode thread touches it while it runs
    automode_sleep_type sleep = automode_real_sleep;                        // how the machine waits
    automode_telemetry_source_type telemetry_source = automode_robot_telemetry;  // where it reads the channels
};

automode_type automode;

constexpr double forward_target = 48.0;
constexpr double back_up_target = 48.0;
constexpr double turn_target = 160.0;
constexpr double range_limit = 150.0;   // analog[2]
constexpr double side_limit = 200.0;    // analog[0] and analog[1]

// The automatic mode drives like any driver: its targets go to the motion authority as a control record.
void set_targets(double target, bool left_reverse, bool right_reverse, bool keep_directions = false)
{
    intent_type intent;
    intent.who = {driver_kind::automode, 0};
    intent.action = intent_action::auto_record;
    intent.record[1] = static_cast<unsigned char>((left_reverse ? 0x01 : 0) | (right_reverse ? 0x02 : 0));
    intent.record[2] = intent.record[3] = static_cast<unsigned char>(target);
    intent.keep_directions = keep_directions;
    drivers_submit(intent);
}

int start_forward()
{
    add_line("Enter mode forward");
    set_targets(forward_target, false, false);
    return 3;
}

int forward()
{
    telemetry_type telemetry;
    automode.telemetry_source(&telemetry);
    add_line("analog: %d", static_cast<int>(telemetry.analog[2]));
    if (telemetry.analog[2] > range_limit || telemetry.analog[0] > side_limit || telemetry.analog[1] > side_limit) {
        add_line("Detect");
        return 4;
    }
    return 3;
}

int halt()
{
    set_targets(0.0, false, false, true);
    automode.sleep(1000);
    return 6;
}

int back_up()
{
    set_targets(back_up_target, true, true);
    automode.sleep(1000);
    set_targets(0.0, false, false);
    automode.sleep(500);
    return 5;
}

int choose()
{
    telemetry_type telemetry;
    automode.telemetry_source(&telemetry);
    return telemetry.analog[0] > telemetry.analog[1] ? 8 : 7;
}

int turn(bool right)
{
    set_targets(turn_target, !right, right);
    automode.sleep(800);
    set_targets(0.0, false, false);
    automode.sleep(1000);
    return 2;
}

bool still_running()
{
    std::lock_guard<std::mutex> hold(automode.thread_running_lock);
    return automode.thread_running;
}

} // namespace

void automode_real_sleep(unsigned int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void automode_robot_telemetry(telemetry_type* out)
{
    robot.get_telemetry(out);
}

int automode_pass(int mode)
{
    if (!robot.get_auto_mode())
        return 2;
    if (mode == 2)
        mode = start_forward();
    if (mode == 3)
        mode = forward();
    if (mode == 4)
        mode = halt();
    if (mode == 6)
        mode = back_up();
    if (mode == 5)
        mode = choose();
    if (mode == 8)
        mode = turn(true);
    if (mode == 7)
        mode = turn(false);
    return mode;
}

unsigned int automode_thread(void*)
{
    for (;;) {
        automode.sleep(10);
        automode.cur_mode = automode_pass(automode.cur_mode);
        if (!still_running())
            return 0;
    }
}

void automode_start()
{
    // A second thread would drive the same record and leave the first one unstoppable.
    if (automode.init) {
        log_write("Automode already running");
        return;
    }
    add_line("Automode start");
    {
        std::lock_guard<std::mutex> hold(automode.thread_running_lock);
        automode.thread_running = true;
    }
    automode.cur_mode = 2;
    if (!thread_start(automode.thread_handle, "Automode", [] { automode_thread(nullptr); })) {
        std::lock_guard<std::mutex> hold(automode.thread_running_lock);
        automode.thread_running = false;
        return;
    }
    automode.thread_id = automode.thread_handle.get_id();
    automode.init = true;
}

void automode_stop()
{
    log_write("automode stop");
    if (!automode.init)
        return;
    {
        std::lock_guard<std::mutex> hold(automode.thread_running_lock);
        automode.thread_running = false;
    }
    automode.thread_handle.join();
    automode.init = false;
}

void automode_set_hooks(automode_sleep_type sleep, automode_telemetry_source_type telemetry_source)
{
    automode.sleep = sleep;
    automode.telemetry_source = telemetry_source;
}

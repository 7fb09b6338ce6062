// The controller exchange: the controller thread sends the drive command to the board every cycle, and
// the board's telemetry packets, handed over by the receive parser, go into the robot state.
#include "bus/controller.h"

#include "services/threads.h"
#include "services/time.h"
#include "services/log.h"
#include "bus/pacing.h"
#include "bus/serial.h"
#include "robot/robot.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

unsigned char device_id = 1;

namespace {

constexpr int command_length = 8;         // the controller command
constexpr int telemetry_length = 3;       // the controller telemetry the board sends
constexpr unsigned int start_baud = 57600;
constexpr auto cycle_sleep = std::chrono::milliseconds(100);

struct controller_state_type {
    std::atomic<bool> running{true};  // the thread goes on while true; written under the lock
    std::mutex thread_lock;           // held while controller_stop clears the flag
    std::thread thread;               // the controller thread, once started
    bool on_change = false;           // besides the cycle, a command as soon as the motor bytes change
};

controller_state_type controller;

// The steady cycle, and between its commands an extra one whenever the motor bytes change, paced by the
// pacing rules. This thread stays the port's only writer: a driver's change only wakes it.
void send_on_change()
{
    pacing_type pacing;
    uint64_t seen = robot.command_number();
    while (controller.running) {
        double now = get_time();
        if (now >= pacing_due(pacing)) {
            seen = robot.command_number();
            controller_transfer();
            pacing_sent(pacing, get_time());
            continue;
        }
        uint64_t number = robot.wait_command_change(seen, pacing_due(pacing) - now);
        if (number != seen) {
            seen = number;
            pacing_changed(pacing, robot.motors_neutral());
        }
    }
}

} // namespace

void controller_start(bool on_change)
{
    controller.on_change = on_change;
    log_write("Controller - Start");
    serial.start(start_baud);
    {
        std::lock_guard<std::mutex> hold(controller.thread_lock);
        controller.running = true;  // the exchange may be started again after a stop (tests do)
    }
    // Refused: no commands go out, and the port still delivers the board's telemetry.
    thread_start(controller.thread, "Controller", [] { controller_thread(nullptr); });
}

void controller_stop()
{
    log_write("Controller - Stop");
    if (controller.thread.joinable()) {
        {
            std::lock_guard<std::mutex> hold(controller.thread_lock);
            controller.running = false;
        }
        controller.thread.join();
    }
    serial.stop();
}

unsigned int controller_thread(void*)
{
    if (serial.get_state() == 0)
        return 0;
    log_write("Controller -  - Starting thread");
    if (controller.on_change)
        send_on_change();
    else
        for (;;) {
            controller_transfer();
            std::this_thread::sleep_for(cycle_sleep);
            if (!controller.running)
                break;
        }
    // A board may keep the last command it received: leave it at standstill, not driving on unattended.
    const unsigned char neutral[command_length] = {0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0};
    serial.serial_packet(device_id, neutral, command_length);
    log_write("Controller -  - Leaving thread");
    return 0;
}

bool controller_transfer()
{
    unsigned char command[command_length] = {};
    robot.get_control(command);
    if (serial.serial_packet(device_id, command, command_length) != 0) {
        log_write("Controller -  - Unable to get telemetry");
        return true;
    }
    return false;
}

void controller_data(const unsigned char* payload, int length)
{
    // The decoding reads three bytes; a shorter payload would have it read past the packet.
    if (payload == nullptr || length < telemetry_length) {
        log_write("Controller - Telemetry payload too short: %d bytes, ignored", length);
        return;
    }
    robot.set_telemetry(payload);
    robot.update_complete(false);
}

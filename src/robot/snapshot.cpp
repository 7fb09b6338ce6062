// The robot's picture, gathered from its locked getters and the drivers' published state.
#include "robot/snapshot.h"

#include "robot/drivers.h"
#include "robot/robot.h"

#include <cstring>
#include <mutex>

namespace {

struct snapshot_state_type {
    std::mutex lock;                     // guards camera_rate
    snapshot_camera_rate_type camera_rate;  // the shown camera's rate, or empty for the serial camera's
};

snapshot_state_type snapshot_state;

bool shown_camera_rate(double* rate)
{
    std::lock_guard<std::mutex> hold(snapshot_state.lock);
    if (snapshot_state.camera_rate)
        return snapshot_state.camera_rate(rate);
    return robot.get_camera_rate(rate);
}

} // namespace

robot_snapshot_type robot_snapshot()
{
    robot_snapshot_type out;
    telemetry_type telemetry;
    robot.get_telemetry(&telemetry);
    std::memcpy(out.analog, telemetry.analog, sizeof out.analog);
    control_type control;
    robot.get_control(&control);
    out.left_target = control.left_target;
    out.right_target = control.right_target;
    out.left_speed = control.left_speed;
    out.right_speed = control.right_speed;
    out.left_reverse = control.left_reverse;
    out.right_reverse = control.right_reverse;
    out.serial_rate = robot.get_update_speed();
    out.has_camera = shown_camera_rate(&out.camera_rate);
    out.auto_mode = robot.get_auto_mode();
    out.driver = drivers_current(&out.driver_id);
    out.remote = drivers_remote();
    out.link = drivers_link_held();
    return out;
}

void robot_snapshot_camera(snapshot_camera_rate_type rate)
{
    std::lock_guard<std::mutex> hold(snapshot_state.lock);
    snapshot_state.camera_rate = std::move(rate);
}

// The robot object: its records behind their locks, the byte encodings, motion mixing, the telemetry
// filter and the telemetry rate.
#include "robot/robot.h"

#include "services/time.h"
#include "services/log.h"
#include "services/utility.h"

#include <chrono>
#include <cmath>
#include <cstring>

robot_class robot;
bool remote_mode = false;

namespace {

constexpr double motion_scale = 240.0;       // target speed of a side at full command
constexpr float telemetry_time_constant = 0.5f;
constexpr double raw_scale = 0.000244140625;  // 1 / 4096: a 12-bit raw value as a fraction of full scale
constexpr int motor_speed_limit = 127;        // the largest speed a motor byte carries in its own direction

// The applied speed as the motor byte's offset from standstill. Limited to 0..127, so that a speed of
// 128 or more still drives the side in the direction its flag names.
int motor_offset(double speed)
{
    if (!(speed > 0.0))  // also catches NaN
        return 0;
    if (speed >= motor_speed_limit)
        return motor_speed_limit;
    return static_cast<int>(speed);  // truncation toward zero
}

// The four motor bytes of the controller command. The sides are mirrored: forward lies below 128 on the
// left and above it on the right.
void encode_motors(const control_type& control, unsigned char* out)
{
    int v = motor_offset(control.left_speed);
    int w = motor_offset(control.right_speed);
    out[0] = out[1] = static_cast<unsigned char>(control.left_reverse ? 128 + v : 128 - v);
    out[2] = out[3] = static_cast<unsigned char>(control.right_reverse ? 128 - w : 128 + w);
}

double limit_unit(double value)
{
    if (value > 1.0)
        return 1.0;
    if (value < -1.0)
        return -1.0;
    return value;
}

} // namespace

robot_class::robot_class()
{
    reset_control();
}

robot_class::~robot_class() {}

void robot_class::reset_control()
{
    std::lock_guard<std::mutex> hold(control_lock);
    control = control_type{};
    control_written();
}

void robot_class::set_auto_mode(bool on)
{
    {
        std::lock_guard<std::mutex> hold(auto_mode_lock);
        auto_mode = on;
    }
    if (!on)
        reset_control();
}

bool robot_class::get_auto_mode()
{
    std::lock_guard<std::mutex> hold(auto_mode_lock);
    return auto_mode;
}

void robot_class::get_control(control_type* out)
{
    std::lock_guard<std::mutex> hold(control_lock);
    *out = control;
}

void robot_class::set_control(const control_type& in)
{
    std::lock_guard<std::mutex> hold(control_lock);
    control = in;
    control_written();
}

void robot_class::get_telemetry(telemetry_type* out)
{
    std::lock_guard<std::mutex> hold(telemetry_lock);
    *out = telemetry;
}

void robot_class::change_control(const std::function<void(control_type&)>& change)
{
    std::lock_guard<std::mutex> hold(control_lock);
    change(control);
    control_written();
}

void robot_class::set_control(const unsigned char* record)
{
    std::lock_guard<std::mutex> hold(control_lock);
    control.left_reverse = (record[1] & 0x01) != 0;
    control.right_reverse = (record[1] & 0x02) != 0;
    control.left_target = record[2];
    control.right_target = record[3];
    if (control.left_target == 0.0)
        control.left_speed = 0.0;
    if (control.right_target == 0.0)
        control.right_speed = 0.0;
    control.aux1 = record[4];
    control.aux2 = record[5];
    control_written();
}

void robot_class::get_control(unsigned char* out)
{
    unsigned char motor_bytes[4];
    {
        std::lock_guard<std::mutex> hold(control_lock);
        encode_motors(control, motor_bytes);
    }
    unsigned int index = 0;
    for (unsigned char byte : motor_bytes)
        append_byte(out, index, byte);
    while (index < static_cast<unsigned int>(controller_command_length))
        append_byte(out, index, 0);
}

void robot_class::get_telemetry(unsigned char* out)
{
    std::lock_guard<std::mutex> hold(telemetry_lock);
    unsigned int index = 0;
    append_byte(out, index, 0xFF);
    append_byte(out, index, 0x00);
    // The low byte of the first link value is never sent: the record's third byte is fixed at 0xFF.
    append_byte(out, index, 0xFF);
    append_byte(out, index, static_cast<unsigned char>((static_cast<uint32_t>(telemetry.link_values[0]) >> 8) & 0xFF));
    for (int i = 1; i < 4; i++) {
        uint32_t value = static_cast<uint32_t>(telemetry.link_values[i]);
        append_byte(out, index, static_cast<unsigned char>(value & 0xFF));
        append_byte(out, index, static_cast<unsigned char>((value >> 8) & 0xFF));
    }
}

void robot_class::set_telemetry(const unsigned char* payload)
{
    std::lock_guard<std::mutex> hold(telemetry_lock);
    if (!telemetry_seen) {
        last_update = get_time();  // the first packet hardly moves the values
        telemetry_seen = true;
    }
    double now = get_time();
    double dt = now - last_update;
    last_update = now;
    float sample0 = 0.0f;
    float sample1 = 0.0f;
    controller_telemetry_samples(payload, &sample0, &sample1);
    filter(telemetry.analog[0], telemetry_time_constant, sample0, dt);
    filter(telemetry.analog[1], telemetry_time_constant, sample1, dt);
}

void robot_class::set_motion(double turn, double forward)
{
    double left = limit_unit(turn + 2.0 * forward);
    double right = limit_unit(2.0 * forward - turn);
    std::lock_guard<std::mutex> hold(control_lock);
    control.left_target = std::fabs(left) * motion_scale;
    control.right_target = std::fabs(right) * motion_scale;
    control.left_reverse = left < 0.0;
    control.right_reverse = right < 0.0;
    control_written();
}

uint64_t robot_class::command_number()
{
    std::lock_guard<std::mutex> hold(control_lock);
    return command_count;
}

uint64_t robot_class::wait_command_change(uint64_t seen, double seconds)
{
    std::unique_lock<std::mutex> hold(control_lock);
    if (seconds > 0.0)
        command_changed.wait_for(hold, std::chrono::duration<double>(seconds),
                                 [&] { return command_count != seen; });
    return command_count;
}

bool robot_class::motors_neutral()
{
    std::lock_guard<std::mutex> hold(control_lock);
    return motors[0] == 0x80 && motors[1] == 0x80 && motors[2] == 0x80 && motors[3] == 0x80;
}

void robot_class::control_written()
{
    unsigned char now[4];
    encode_motors(control, now);
    if (std::memcmp(now, motors, sizeof motors) == 0)
        return;
    std::memcpy(motors, now, sizeof motors);
    command_count++;
    command_changed.notify_all();
}

void robot_class::update_complete(bool done)
{
    if (done)
        return;
    std::lock_guard<std::mutex> hold(update_lock);
    update_count++;
}

void robot_class::update()
{
    // Read and clear in one hold, so a packet counted meanwhile is not lost.
    std::lock_guard<std::mutex> hold(update_lock);
    update_speed = static_cast<double>(update_count);
    update_count = 0;
}

double robot_class::get_update_speed()
{
    std::lock_guard<std::mutex> hold(update_lock);
    return update_speed;
}

void robot_class::set_camera_rate(bool present, double rate)
{
    camera_rate = rate;
    camera_present = present;
}

bool robot_class::get_camera_rate(double* rate)
{
    if (!camera_present)
        return false;
    *rate = camera_rate;
    return true;
}

void controller_telemetry_samples(const unsigned char* payload, float* channel0, float* channel1)
{
    // Byte 2 carries the high four bits of both 12-bit channels: channel 0 low nibble, channel 1 high.
    unsigned int raw0 = payload[0] + 256u * (payload[2] & 0x0Fu);
    unsigned int raw1 = payload[1] + 16u * (payload[2] & 0xF0u);
    *channel0 = static_cast<float>(raw0 * raw_scale);
    *channel1 = static_cast<float>(raw1 * raw_scale);
}

void filter(float& filtered, float time_constant, float sample, double dt)
{
    double span = dt + time_constant;
    if (!(span > 0.0))  // no time has passed and nothing to weigh: keep the value
        return;
    double k = dt / span;
    filtered = static_cast<float>((1.0 - k) * filtered + k * sample);
}

// The robot object: records, byte encodings, motion mixing, the telemetry filter and the rate count.
#include "robot/robot.h"

#include "services/time.h"
#include "imaging/serialcamera.h"
#include "robot/motion.h"
#include "platform/window.h"
#include "test_jpeg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> command_of(robot_class& r)
{
    std::vector<unsigned char> out(controller_command_length + 1, 0xAA);
    r.get_control(out.data());
    EXPECT_EQ(out[controller_command_length], 0xAA) << "written past the command";
    out.resize(controller_command_length);
    return out;
}

control_type control_of(robot_class& r)
{
    control_type c;
    r.get_control(&c);
    return c;
}

void set_speeds(robot_class& r, double left, bool left_reverse, double right, bool right_reverse)
{
    control_type c;
    c.left_speed = left;
    c.left_target = left;
    c.left_reverse = left_reverse;
    c.right_speed = right;
    c.right_target = right;
    c.right_reverse = right_reverse;
    r.set_control(c);
}

using bytes = std::vector<unsigned char>;

} // namespace

TEST(ControlEncoding, NeutralRecordGivesStandstillOnBothSides)
{
    robot_class r;
    EXPECT_EQ(command_of(r), (bytes{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}));
    control_type c = control_of(r);
    EXPECT_EQ(c.left_target, 0.0);
    EXPECT_EQ(c.right_speed, 0.0);
    EXPECT_FALSE(c.left_reverse || c.right_reverse);
    EXPECT_EQ(c.aux1, 128);
    EXPECT_EQ(c.aux2, 128);
}

TEST(ControlEncoding, SidesAreMirroredAndSpeedsTruncated)
{
    robot_class r;
    set_speeds(r, 48, false, 48, false);
    EXPECT_EQ(command_of(r), (bytes{80, 80, 176, 176, 0, 0, 0, 0}));
    set_speeds(r, 48, true, 48, true);
    EXPECT_EQ(command_of(r), (bytes{176, 176, 80, 80, 0, 0, 0, 0}));
    set_speeds(r, 47.9, false, 0.99, false);
    EXPECT_EQ(command_of(r), (bytes{81, 81, 128, 128, 0, 0, 0, 0}));
}

TEST(ControlEncoding, FastSpeedsAreLimitedTo127InTheirOwnDirection)
{
    robot_class r;
    set_speeds(r, 200, false, 200, false);
    EXPECT_EQ(command_of(r), (bytes{1, 1, 255, 255, 0, 0, 0, 0}));
    set_speeds(r, 128, true, 255, true);
    EXPECT_EQ(command_of(r), (bytes{255, 255, 1, 1, 0, 0, 0, 0}));
    set_speeds(r, 127, false, 126.5, true);
    EXPECT_EQ(command_of(r), (bytes{1, 1, 2, 2, 0, 0, 0, 0}));
    // Only the encoding is limited: the record keeps its values.
    set_speeds(r, 200, false, 160, false);
    command_of(r);
    EXPECT_EQ(control_of(r).left_speed, 200.0);
    EXPECT_EQ(control_of(r).right_target, 160.0);
}

TEST(ControlEncoding, LinkRecordSetsTargetsFlagsAndAuxButKeepsSpeeds)
{
    robot_class r;
    set_speeds(r, 30, false, 31, false);
    const unsigned char record[] = {0x00, 0x03, 0x40, 0x40, 0x80, 0x80, 0x00};
    r.set_control(record);
    control_type c = control_of(r);
    EXPECT_TRUE(c.left_reverse);
    EXPECT_TRUE(c.right_reverse);
    EXPECT_EQ(c.left_target, 64.0);
    EXPECT_EQ(c.right_target, 64.0);
    EXPECT_EQ(c.left_speed, 30.0);
    EXPECT_EQ(c.right_speed, 31.0);
    EXPECT_EQ(c.aux1, 0x80);
    EXPECT_EQ(c.aux2, 0x80);
    // The flip keeps the applied speed: the motor bytes jump across 128.
    EXPECT_EQ(command_of(r), (bytes{158, 158, 97, 97, 0, 0, 0, 0}));

    const unsigned char stop_left[] = {0xFF, 0xFE, 0x00, 0xFF, 0x01, 0x02, 0xFF};
    r.set_control(stop_left);
    c = control_of(r);
    EXPECT_EQ(c.left_speed, 0.0) << "a target of 0 stops that side at once";
    EXPECT_EQ(c.right_speed, 31.0);
    EXPECT_FALSE(c.left_reverse) << "only bits 0 and 1 of byte 1 are read";
    EXPECT_TRUE(c.right_reverse);
    EXPECT_EQ(c.right_target, 255.0);
    EXPECT_EQ(c.aux1, 1);
    EXPECT_EQ(c.aux2, 2);
}

TEST(TelemetryEncoding, LinkRecordIsTenBytesWhateverTheAnalogValues)
{
    robot_class r;
    const unsigned char payload[] = {0xFF, 0xFF, 0xFF};
    r.set_telemetry(payload);
    unsigned char out[12];
    std::memset(out, 0xAA, sizeof out);
    r.get_telemetry(out);
    EXPECT_EQ(bytes(out, out + 12), (bytes{0xFF, 0x00, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xAA}));
}

TEST(TelemetryEncoding, ControllerPayloadCarriesTwelveBitChannels)
{
    float a = -1, b = -1;
    const unsigned char full[] = {0xFF, 0xFF, 0xFF};
    controller_telemetry_samples(full, &a, &b);
    EXPECT_EQ(a, 0.999755859375f);
    EXPECT_EQ(b, 0.999755859375f);
    const unsigned char low_nibble[] = {0x00, 0x00, 0x0F, 0x77};
    controller_telemetry_samples(low_nibble, &a, &b);
    EXPECT_EQ(a, 3840 / 4096.0f);
    EXPECT_EQ(b, 0.0f);
    const unsigned char high_nibble[] = {0x00, 0x00, 0xF0};
    controller_telemetry_samples(high_nibble, &a, &b);
    EXPECT_EQ(a, 0.0f);
    EXPECT_EQ(b, 3840 / 4096.0f);
    const unsigned char mixed[] = {0x34, 0x12, 0x5A};
    controller_telemetry_samples(mixed, &a, &b);
    EXPECT_EQ(a, (0x34 + 0xA00) / 4096.0f);
    EXPECT_EQ(b, (0x12 + 0x500) / 4096.0f);
}

TEST(TelemetryFilter, StepWeighsTheSampleByElapsedTime)
{
    float value = 0.3f;
    filter(value, 0.5f, 0.9f, 0.0);
    EXPECT_EQ(value, 0.3f) << "no time, no change";
    value = 0.0f;
    filter(value, 0.5f, 0.6f, 0.1);
    EXPECT_FLOAT_EQ(value, 0.1f) << "a tenth of a second moves a sixth of the way";
    filter(value, 0.5f, 0.6f, 1000.0);
    EXPECT_NEAR(value, 0.6f, 1e-3);
    float untouched = 0.25f;
    filter(untouched, 0.0f, 1.0f, 0.0);
    EXPECT_EQ(untouched, 0.25f) << "no time and no time constant must not make NaN";
}

TEST(TelemetryFilter, PacketsMoveTheChannelsByTheTimeBetweenThem)
{
    robot_class r;
    const unsigned char payload[] = {0xFF, 0xFF, 0xFF};
    r.set_telemetry(payload);
    telemetry_type t;
    r.get_telemetry(&t);
    EXPECT_LT(t.analog[0], 0.01f) << "the first packet hardly moves the values";
    float first = t.analog[0];

    double after_first = get_time();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double before_second = get_time();
    r.set_telemetry(payload);
    double after_second = get_time();
    r.get_telemetry(&t);
    // The dt the robot measured lies between these two bounds.
    double dt_low = before_second - after_first;
    double dt_high = after_second - (after_first - 0.01);
    double sample = 0.999755859375;
    double low = first + (sample - first) * dt_low / (dt_low + 0.5);
    double high = first + (sample - first) * dt_high / (dt_high + 0.5);
    EXPECT_GE(t.analog[0], low - 1e-6);
    EXPECT_LE(t.analog[0], high + 1e-6);
    EXPECT_EQ(t.analog[0], t.analog[1]) << "one dt serves both channels";
    for (int i = 2; i < 8; i++)
        EXPECT_EQ(t.analog[i], 0.0f);
}

TEST(RobotMotion, MixesTurnAndForwardIntoTargetsAndDirections)
{
    struct row {
        double turn, forward, left, right;
        bool left_reverse, right_reverse;
    };
    const row rows[] = {
        {0, 0, 0, 0, false, false},
        {0, 0.1, 48, 48, false, false},
        {0, -0.1, 48, 48, true, true},
        {0, 1, 240, 240, false, false},
        {0.19, 0.1, 93.6, 2.4, false, false},
        {0.145, 0, 34.8, 34.8, false, true},
        {-3, 0, 240, 240, true, false},
    };
    robot_class r;
    set_speeds(r, 5, false, 6, false);
    for (const row& w : rows) {
        r.set_motion(w.turn, w.forward);
        control_type c = control_of(r);
        EXPECT_NEAR(c.left_target, w.left, 1e-9) << w.turn << ", " << w.forward;
        EXPECT_NEAR(c.right_target, w.right, 1e-9) << w.turn << ", " << w.forward;
        EXPECT_EQ(c.left_reverse, w.left_reverse) << w.turn << ", " << w.forward;
        EXPECT_EQ(c.right_reverse, w.right_reverse) << w.turn << ", " << w.forward;
        EXPECT_EQ(c.left_speed, 5.0) << "the ramp, not set_motion, moves the applied speeds";
        EXPECT_EQ(c.right_speed, 6.0);
    }
}

TEST(RobotMode, SwitchingOnKeepsTheCommandAndSwitchingOffStops)
{
    robot_class r;
    EXPECT_FALSE(r.get_auto_mode());
    set_speeds(r, 40, true, 41, false);
    r.set_auto_mode(true);
    EXPECT_TRUE(r.get_auto_mode());
    EXPECT_EQ(control_of(r).left_speed, 40.0);
    r.set_auto_mode(false);
    EXPECT_FALSE(r.get_auto_mode());
    EXPECT_EQ(command_of(r), (bytes{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}));
    set_speeds(r, 40, true, 41, false);
    r.set_auto_mode(false);
    EXPECT_EQ(control_of(r).left_speed, 0.0) << "switching off stops even when already off";
    set_speeds(r, 40, true, 41, false);
    r.reset_control();
    EXPECT_EQ(command_of(r), (bytes{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}));
}

TEST(RobotCommand, NumberGrowsOnlyWhenTheMotorBytesChange)
{
    robot_class r;
    uint64_t start = r.command_number();
    r.set_motion(0.0, 0.1);
    EXPECT_EQ(r.command_number(), start) << "a target alone leaves the bytes at standstill";
    r.change_control([](control_type& c) { c.left_speed = 5.9; });
    EXPECT_EQ(r.wait_command_change(start, 0.0), start + 1) << "the ramp moved the bytes";
    r.change_control([](control_type& c) { c.left_speed = 5.2; });
    EXPECT_EQ(r.command_number(), start + 1) << "an unchanged command";
    r.reset_control();
    EXPECT_EQ(r.wait_command_change(start + 1, 5.0), start + 2) << "STOP's neutral bytes, without waiting";
    EXPECT_EQ(command_of(r)[0], 0x80);
}

TEST(RobotRate, RollTurnsTheSecondsCountIntoTheRate)
{
    robot_class r;
    for (int i = 0; i < 7; i++)
        r.update_complete(false);
    r.update_complete(true);
    EXPECT_EQ(r.get_update_speed(), 0.0);
    r.update();
    EXPECT_EQ(r.get_update_speed(), 7.0);
    r.update();
    EXPECT_EQ(r.get_update_speed(), 0.0) << "a silent second gives rate 0";
}

TEST(RobotState, NoCameraBeforeStart)
{
    robot_class r;
    double rate = -1.0;
    const unsigned char data[] = {1, 2, 3};
    serial_camera_data(data, 3);  // no camera yet: skipped
    EXPECT_FALSE(r.get_camera_rate(&rate));
    EXPECT_EQ(rate, -1.0);
}

// The ramp and a second writer change the control record at once; neither loses the other's change.
TEST(RobotConcurrency, RampAndSecondWriterLoseNoChange)
{
    robot.reset_control();
    constexpr int writes = 100000;
    std::atomic<bool> go{false};
    std::atomic<bool> writer_done{false};
    std::atomic<int> ramp_steps{0};
    std::atomic<bool> speed_went_back{false};
    std::thread ramp([&] {
        go = true;
        while (!writer_done) {
            motion_ramp(0.01);
            ramp_steps++;
        }
        motion_ramp(0.01);
    });
    std::thread writer([&] {
        double last_speed = 0.0;
        while (!go) {
        }
        for (int i = 0; i < writes; i++) {
            // A pause outside the lock lets the writer arrive at any point of a ramp step.
            for (int spin = i % 37; spin > 0; spin--)
                std::atomic_signal_fence(std::memory_order_seq_cst);
            robot.change_control([&](control_type& c) {
                // Targets only grow, so the ramp only raises the speed: a lower one is a lost ramp step.
                if (c.left_speed < last_speed)
                    speed_went_back = true;
                last_speed = c.left_speed;
                c.left_target += 1.0;
                c.right_target += 0.5;
                c.aux1 = static_cast<unsigned char>(c.aux1 + 1);
            });
        }
        writer_done = true;
    });
    ramp.join();
    writer.join();
    control_type c;
    robot.get_control(&c);
    EXPECT_EQ(c.left_target, writes * 1.0);
    EXPECT_EQ(c.right_target, writes * 0.5);
    EXPECT_EQ(c.aux1, static_cast<unsigned char>(128 + writes));
    EXPECT_FALSE(speed_went_back);
    EXPECT_GT(ramp_steps.load(), 0) << "the ramp ran beside the writer";
    EXPECT_GT(c.left_speed, 0.0);
    EXPECT_LE(c.left_speed, c.left_target);
    EXPECT_LE(c.right_speed, c.right_target);
    robot.reset_control();
}

TEST(RobotConcurrency, PacketCountLosesNoPacketToTheRoll)
{
    robot_class r;
    constexpr int packets = 50000;
    std::thread counter([&r] {
        for (int i = 0; i < packets; i++)
            r.update_complete(false);
    });
    double total = 0.0;
    for (int i = 0; i < 200; i++) {
        r.update();
        total += r.get_update_speed();
        std::this_thread::yield();
    }
    counter.join();
    r.update();
    total += r.get_update_speed();
    EXPECT_EQ(total, packets);
}

// The redraw reads the camera's rate on the window thread while the reading thread decodes images under
// the camera's lock: the rate comes without that lock, and the two never race.
TEST(RobotConcurrency, TheCameraRateIsReadWhileImagesAreDecoded)
{
    window_system_start(true);
    robot_class& r = robot;
    serial_camera_start("Left", serial_camera_device, 0);
    double rate = -1.0;
    ASSERT_TRUE(r.get_camera_rate(&rate));
    EXPECT_EQ(rate, 0.0);
    std::vector<unsigned char> jpeg = test_jpeg::solid(160, 120, 0, 255, 0);
    std::atomic<bool> done{false};
    std::thread reading([&] {
        for (int image = 0; image < 6; image++) {
            const unsigned char size[3] = {5, static_cast<unsigned char>(jpeg.size() >> 8),
                                           static_cast<unsigned char>(jpeg.size())};
            serial_camera_data(size, 3);
            for (size_t at = 0; at < jpeg.size(); at += 250) {
                std::vector<unsigned char> piece{6};
                piece.insert(piece.end(), jpeg.begin() + static_cast<long>(at),
                             jpeg.begin() + static_cast<long>(std::min(jpeg.size(), at + 250)));
                serial_camera_data(piece.data(), static_cast<int>(piece.size()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        done = true;
    });
    while (!done)
        EXPECT_TRUE(r.get_camera_rate(&rate));
    reading.join();
    ASSERT_TRUE(r.get_camera_rate(&rate));
    EXPECT_GT(rate, 0.0) << "images completed, so there is a rate";
    serial_camera_stop();
    EXPECT_FALSE(r.get_camera_rate(&rate)) << "no camera after stop";
}

// The controller exchange: commands to the board every cycle on a real pseudo-terminal, and the board's
// telemetry into the robot state.
#include "bus/controller.h"

#include "bus/serial.h"
#include "bus_support.h"
#include "pty_support.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace bus_test;

namespace {

// The 11-byte command packets found in what the board received, as their 8 payload bytes.
std::vector<std::vector<unsigned char>> commands_in(const std::vector<unsigned char>& bytes)
{
    std::vector<std::vector<unsigned char>> commands;
    for (size_t i = 0; i + 11 <= bytes.size(); i += 11) {
        EXPECT_EQ(bytes[i], 0x01);
        EXPECT_EQ(bytes[i + 1], 0x08);
        EXPECT_EQ(get_checksum(&bytes[i], 10), bytes[i + 10]);
        commands.emplace_back(bytes.begin() + static_cast<long>(i) + 2, bytes.begin() + static_cast<long>(i) + 10);
    }
    EXPECT_EQ(bytes.size() % 11, 0u);
    return commands;
}

class ControllerExchange : public testing::Test {
protected:
    void SetUp() override
    {
        robot.reset_control();
        robot.update();  // forget packets counted by earlier tests
        serial.port_name[0] = 0;
        wire(serial);
    }
    test_log log;
};

} // namespace

TEST_F(ControllerExchange, ShortTelemetryIsIgnoredWithALogLine)
{
    telemetry_type before;
    robot.get_telemetry(&before);
    unsigned char payload[2] = {0xFF, 0xFF};
    controller_data(payload, 2);
    controller_data(nullptr, 3);
    EXPECT_TRUE(log.has("Controller - Telemetry payload too short: 2 bytes, ignored"));
    telemetry_type after;
    robot.get_telemetry(&after);
    EXPECT_EQ(after.analog[0], before.analog[0]);
    EXPECT_EQ(after.analog[1], before.analog[1]);
    robot.update();
    EXPECT_EQ(robot.get_update_speed(), 0.0);
}

TEST_F(ControllerExchange, TelemetryIsFilteredIntoTheRobotAndCounted)
{
    unsigned char payload[4] = {0x12, 0x34, 0x56, 0xEE};  // raw 1554 and 1332; the fourth byte is not read
    telemetry_type before;
    robot.get_telemetry(&before);
    for (int i = 0; i < 40; i++) {
        controller_data(payload, 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    telemetry_type after;
    robot.get_telemetry(&after);
    // One second of packets takes the filtered values towards 0.379 and 0.325.
    EXPECT_LT(std::fabs(after.analog[0] - 0.3794f), std::fabs(before.analog[0] - 0.3794f));
    EXPECT_LT(std::fabs(after.analog[1] - 0.3252f), std::fabs(before.analog[1] - 0.3252f));
    EXPECT_LT(after.analog[0], 0.3795f);
    robot.update();
    EXPECT_EQ(robot.get_update_speed(), 40.0);
}

TEST_F(ControllerExchange, WithoutAPortStartAndStopCompleteAndNoThreadRuns)
{
    controller_start();
    controller_stop();
    EXPECT_TRUE(log.has("Controller - Start"));
    EXPECT_TRUE(log.has("Serial - Unable to open serial port ()"));
    EXPECT_FALSE(log.has("Controller -  - Starting thread"));
    EXPECT_TRUE(log.has("Controller - Stop"));
    EXPECT_TRUE(log.has("Serial - Stop Complete"));
}

TEST_F(ControllerExchange, TheBoardReceivesTheAppliedSpeedsEveryCycle)
{
    pty_pair line;
    ASSERT_TRUE(line.ready());
    std::snprintf(serial.port_name, sizeof serial.port_name, "%s", line.name().c_str());
    controller_start();
    ASSERT_EQ(serial.get_state(), 1);
    auto neutral = commands_in(line.read_for(std::chrono::milliseconds(450)));
    ASSERT_GE(neutral.size(), 3u);
    for (const auto& command : neutral)
        EXPECT_EQ(command, (std::vector<unsigned char>{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}));

    control_type forward;
    forward.left_target = forward.right_target = 48;
    forward.left_speed = forward.right_speed = 48;
    robot.set_control(forward);
    line.read_for(std::chrono::milliseconds(120));  // a cycle may have read the old record
    auto driving = commands_in(line.read_for(std::chrono::milliseconds(350)));
    ASSERT_GE(driving.size(), 2u);
    for (const auto& command : driving)
        EXPECT_EQ(command, (std::vector<unsigned char>{0x50, 0x50, 0xB0, 0xB0, 0, 0, 0, 0}));

    // Telemetry from the board on the same line reaches the robot through the reading thread.
    robot.update();
    std::vector<unsigned char> five;
    for (int i = 0; i < 5; i++) {
        std::vector<unsigned char> packet = device_packet(1, {0xFF, 0xFF, 0xFF});
        five.insert(five.end(), packet.begin(), packet.end());
    }
    // A text line after them: the reading thread takes packets in order, so once it shows, all five are in.
    std::string after = "after five";
    std::vector<unsigned char> marker = device_packet(15, std::vector<unsigned char>(after.begin(), after.end()));
    five.insert(five.end(), marker.begin(), marker.end());
    ASSERT_TRUE(line.write_bytes(five));
    ASSERT_TRUE(log.wait_for("after five"));
    robot.update();
    EXPECT_EQ(robot.get_update_speed(), 5.0);
    telemetry_type seen;
    robot.get_telemetry(&seen);
    EXPECT_GT(seen.analog[0], 0.0f);
    EXPECT_GT(seen.analog[1], 0.0f);

    robot.set_control(forward);  // driving when the program stops
    line.read_for(std::chrono::milliseconds(150));
    auto begun = std::chrono::steady_clock::now();
    controller_stop();
    auto last = commands_in(line.read_for(std::chrono::milliseconds(200)));
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), (std::vector<unsigned char>{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0}))
        << "the board is left at standstill";
    // The cycle in progress ends after its sleep: about 100 ms, well under the reading thread's 2 s.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(1000));
    EXPECT_TRUE(log.has("Controller -  - Starting thread"));
    EXPECT_TRUE(log.has("Controller -  - Leaving thread"));
    EXPECT_TRUE(log.has("Serial - Stop Complete"));
    robot.reset_control();
}

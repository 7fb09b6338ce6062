// Driving from browsers on the window thread: one driver at a time, the keyboard's motion table, and
// every rule that brings the robot to its neutral state.
#include "web/web_drive.h"

#include "bus_support.h"
#include "robot/robot.h"
#include "web/web_messages.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t first = 11, second = 12;

control_type control_now()
{
    control_type c;
    robot.get_control(&c);
    return c;
}

bool forward()
{
    control_type c = control_now();
    return c.left_target > 58 && c.right_target > 37 && !c.left_reverse && !c.right_reverse;
}

bool neutral()
{
    control_type c = control_now();
    return c.left_target == 0 && c.right_target == 0 && c.left_speed == 0 && c.right_speed == 0;
}

class WebDrive : public testing::Test {
protected:
    void SetUp() override
    {
        web_drive_reset(false);
        robot.reset_control();
        remote_mode = false;
    }
    void TearDown() override { SetUp(); }
    bus_test::test_log log;
};

} // namespace

TEST_F(WebDrive, TheFirstBrowserToPressDrivesAndTheOthersWatch)
{
    web_drive_keys(second, 0, 0.0, false);  // a release from nobody's driver changes nothing
    EXPECT_EQ(web_driver_session.load(), 0u);
    web_drive_keys(first, web_key_w, 0.0, false);
    EXPECT_TRUE(forward());
    EXPECT_TRUE(remote_mode);  // keyboard driving stands aside
    EXPECT_EQ(web_driver_session.load(), first);
    EXPECT_EQ(web_driver_now.load(), static_cast<int>(web_driver_kind::browser));

    web_drive_keys(second, web_key_s, 0.05, false);
    EXPECT_TRUE(forward());
    web_drive_keys(first, web_key_w, 0.1, false);
    web_drive_keys(first, 0, 0.15, false);  // released: neutral at once, still the driver for a second
    EXPECT_TRUE(neutral());
    web_drive_check(1.1, false);
    EXPECT_EQ(web_driver_session.load(), first);
    web_drive_check(1.16, false);
    EXPECT_EQ(web_driver_session.load(), 0u);
    EXPECT_FALSE(remote_mode);  // back to what the link says
    web_drive_keys(second, web_key_w, 1.2, false);
    EXPECT_EQ(web_driver_session.load(), second);
}

TEST_F(WebDrive, SilenceStopsTheRobotAndLeavingLetsGo)
{
    web_drive_keys(first, web_key_w, 0.0, false);
    web_drive_check(0.5, false);
    EXPECT_TRUE(forward());
    web_drive_check(0.51, false);
    EXPECT_TRUE(neutral());
    EXPECT_EQ(log.count_starting("Web console: the driving browser fell silent"), 1);
    web_drive_check(0.6, false);
    EXPECT_EQ(log.count_starting("Web console: the driving browser fell silent"), 1);
    web_drive_keys(first, web_key_w, 0.7, false);  // it speaks again: it drives again
    EXPECT_TRUE(forward());

    web_drive_leave(first, false);
    EXPECT_TRUE(neutral());
    EXPECT_EQ(web_driver_session.load(), 0u);
    EXPECT_FALSE(remote_mode);
}

TEST_F(WebDrive, AnyStopStopsAndHeldKeysMustBeReleasedFirst)
{
    web_drive_keys(first, web_key_w, 0.0, false);
    web_drive_keys(second, web_key_d, 0.0, false);  // watching, but holding D
    web_drive_stop(second, false);
    EXPECT_TRUE(neutral());
    EXPECT_EQ(web_driver_session.load(), 0u);
    web_drive_keys(first, web_key_w, 0.05, false);   // still held from before the STOP
    web_drive_keys(second, web_key_d, 0.05, false);
    EXPECT_TRUE(neutral());
    web_drive_keys(first, 0, 0.1, false);
    web_drive_keys(first, web_key_w, 0.15, false);   // a fresh press
    EXPECT_TRUE(forward());
    EXPECT_EQ(web_driver_session.load(), first);
}

TEST_F(WebDrive, WhileTheLinkHoldsAClientBrowsersWatch)
{
    web_drive_keys(first, web_key_w, 0.0, false);
    remote_mode = true;  // the link accepts a client
    web_drive_check(0.01, true);
    EXPECT_TRUE(neutral());
    EXPECT_EQ(web_driver_session.load(), 0u);
    EXPECT_TRUE(remote_mode);
    EXPECT_EQ(web_driver_now.load(), static_cast<int>(web_driver_kind::link));
    web_drive_keys(first, web_key_w, 0.02, true);
    EXPECT_TRUE(neutral());
    robot.set_motion(0, 0.1);  // the link's own command; a browser's STOP still stops it
    web_drive_stop(first, true);
    EXPECT_TRUE(neutral());
    EXPECT_TRUE(remote_mode);
}

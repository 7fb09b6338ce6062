// Joystick driving over the test double, and the SDL backend over a virtual SDL joystick.
#include "console/joystick.h"

#include "services/message_lines.h"

#include "console/input.h"
#include "platform/joystick.h"
#include "robot/motion.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr unsigned int centre = 32768;  // half travel
constexpr unsigned int quarter = 16384; // a quarter of the full travel in raw units
constexpr unsigned int vendor = 0x045E;

int line_count()
{
    return static_cast<int>(message_lines_shown().size());
}

std::string last_line()
{
    std::vector<std::string> shown = message_lines_shown();
    return shown.empty() ? "" : shown.back();
}

// Clears the slots so that a new line is seen even when it repeats the last one.
void clear_lines()
{
    message_lines_clear();
}

control_type control_now()
{
    control_type c;
    robot.get_control(&c);
    return c;
}

class Joystick : public testing::Test {
protected:
    void SetUp() override
    {
        joystick_double_select(true);
        reset();
    }
    void TearDown() override
    {
        reset();
        joystick_double_select(false);
    }
    static void reset()
    {
        joystick_ok = false;
        joystick = joystick_type{};
        std::memset(keys, 0, sizeof keys);
        motion_reset();
        clear_lines();
    }
    static void start_centred()
    {
        joystick_double_plug(vendor, centre, centre);
        joystick_start();
        ASSERT_TRUE(joystick_ok);
        joystick_check();  // the first poll sees a position different from 0, 0
    }
    static void flags(bool up, bool down, bool left, bool right, const char* what)
    {
        EXPECT_EQ(joystick.up, up) << what;
        EXPECT_EQ(joystick.down, down) << what;
        EXPECT_EQ(joystick.left, left) << what;
        EXPECT_EQ(joystick.right, right) << what;
    }
};

} // namespace

TEST_F(Joystick, NoDriverMeansNoJoystickAndNoPolling)
{
    joystick_double_slots(0);
    joystick_double_plug(vendor, centre, centre);
    joystick_start();
    EXPECT_FALSE(joystick_ok);
    EXPECT_EQ(last_line(), "Unable to start joystick driver");
    EXPECT_EQ(line_count(), 1);
    unsigned int calls = joystick_double_calls();
    joystick_check();
    EXPECT_EQ(joystick_double_calls(), calls) << "nothing is polled without a joystick";
}

TEST_F(Joystick, NoManufacturerOrUnpluggedAtStartMeansNoJoystick)
{
    joystick_start();
    EXPECT_FALSE(joystick_ok);
    EXPECT_EQ(last_line(), "No joystick Connected");

    clear_lines();
    joystick_double_plug(vendor, centre, centre);
    joystick_double_unplug();
    joystick_start();
    EXPECT_FALSE(joystick_ok);
    EXPECT_EQ(last_line(), "No joystick Connected");
    EXPECT_EQ(line_count(), 1);
}

TEST_F(Joystick, StartTakesTheCentreAndTheFirstPollIssuesOneCommand)
{
    keys['W'] = true;  // the keyboard drives, then lets go while the joystick is taken up
    input_update();
    keys['W'] = false;
    joystick_double_plug(vendor, centre, centre);
    joystick_start();
    ASSERT_TRUE(joystick_ok);
    EXPECT_EQ(joystick.x_center, 0.5);
    EXPECT_EQ(joystick.y_center, 0.5);
    EXPECT_EQ(joystick.x, 0.0) << "start does not set the polled position";
    EXPECT_EQ(line_count(), 0);

    joystick_check();
    flags(false, false, false, false, "resting at the centre");
    EXPECT_EQ(control_now().left_target, 0.0) << "the first poll issued the idle command";

    robot.set_motion(0, 0.1);
    joystick_check();
    EXPECT_EQ(control_now().left_target, 48.0) << "no movement, no command";
}

TEST_F(Joystick, DirectionsNeedMoreThanAQuarterOfTheTravel)
{
    start_centred();
    struct row {
        unsigned int x, y;
        bool up, down, left, right;
        const char* what;
    };
    const row rows[] = {
        {centre, quarter - 1, true, false, false, false, "one unit past a quarter forward"},
        {centre, quarter, false, false, false, false, "exactly a quarter is not enough"},
        {centre, centre + quarter, false, false, false, false, "exactly a quarter back"},
        {centre, centre + quarter + 1, false, true, false, false, "pulled back"},
        {quarter - 1, centre, false, false, true, false, "left"},
        {quarter, centre, false, false, false, false, "exactly a quarter left"},
        {centre + quarter + 1, centre, false, false, false, true, "right"},
        {0, 0, true, false, true, false, "forward and left"},
        {65535, 65535, false, true, false, true, "back and right"},
    };
    for (const row& r : rows) {
        joystick_double_move(r.x, r.y);
        joystick_check();
        flags(r.up, r.down, r.left, r.right, r.what);
    }
}

TEST_F(Joystick, MovementDrivesThroughTheMotionTable)
{
    start_centred();
    joystick_double_move(0, 0);
    joystick_check();
    control_type c = control_now();
    EXPECT_NEAR(c.left_target, 13.2, 1e-9) << "diagonal up and left: forward left";
    EXPECT_NEAR(c.right_target, 82.8, 1e-9);

    joystick_double_move(centre + 100, centre - 100);
    joystick_check();
    EXPECT_EQ(control_now().left_target, 0.0) << "back in the dead band: idle";

    keys[0x57] = true;  // W held
    joystick_double_move(centre + 200, centre);
    joystick_check();
    EXPECT_NEAR(control_now().left_target, 58.8, 1e-9) << "dead band with W held";
}

TEST_F(Joystick, PulledOutWhileDrivingStopsOnceAndComesBackWithItsCentre)
{
    start_centred();
    joystick_double_move(centre, 0);
    joystick_check();
    ASSERT_TRUE(joystick.up);
    ASSERT_GT(control_now().left_target, 0.0);
    clear_lines();
    joystick_double_unplug();
    joystick_check();
    EXPECT_EQ(control_now().left_target, 0.0) << "the robot stops";
    EXPECT_FALSE(joystick.up);
    robot.set_motion(0, 0.1);  // another driver moves the robot meanwhile
    for (int i = 0; i < 50; i++)
        joystick_check();
    EXPECT_EQ(line_count(), 1) << "one line for the removal, not one per poll";
    EXPECT_EQ(last_line(), "No joystick Connected");
    EXPECT_EQ(control_now().left_target, 48.0) << "stopped once: later polls leave the robot alone";

    joystick_double_plug(vendor, centre + quarter + 1, centre);
    joystick_check();
    EXPECT_EQ(last_line(), "Joystick Connected");
    EXPECT_EQ(joystick.x_center, 0.5) << "not re-centred";
    flags(false, false, false, true, "back and moved right");

    // Pulled out while resting: reported, and the command another driver set is left as it is.
    joystick_double_move(centre, centre);
    joystick_check();
    robot.set_motion(0, 0.1);
    joystick_double_unplug();
    joystick_check();
    EXPECT_EQ(control_now().left_target, 48.0);
    EXPECT_EQ(last_line(), "No joystick Connected");
    EXPECT_EQ(line_count(), 3);
}

TEST_F(Joystick, AttachedAfterStartUpIsTakenUpWithinASecond)
{
    joystick_start();
    ASSERT_FALSE(joystick_ok);
    unsigned int calls = joystick_double_calls();
    for (int i = 0; i < 99; i++)
        joystick_check();
    EXPECT_EQ(joystick_double_calls(), calls) << "an empty slot is looked at once a second, not every tick";
    joystick_double_plug(vendor, 20000, 40000);
    for (int i = 0; i < 100 && !joystick_ok; i++)
        joystick_check();
    ASSERT_TRUE(joystick_ok);
    EXPECT_EQ(last_line(), "Joystick Connected");
    EXPECT_EQ(joystick.x_center, 20000 * 1.52587890625e-05) << "centred where it was attached";
    joystick_double_move(20000, 40000 - quarter - 1);
    joystick_check();
    flags(true, false, false, false, "pushed forward from its own centre");
    EXPECT_NEAR(control_now().left_target, 58.8, 1e-9);
}

TEST(JoystickBackend, VirtualSdlJoystickIsJoystickOne)
{
    joystick_double_select(false);
    if (!joystick_virtual_attach(vendor))
        GTEST_SKIP() << "no SDL virtual joystick, or another joystick is joystick 1";
    EXPECT_GE(joystick_device_count(), 1u);
    EXPECT_EQ(joystick_device_manufacturer(), vendor);
    unsigned int x = 1, y = 1;
    ASSERT_EQ(joystick_device_position(&x, &y), joystick_read);
    EXPECT_EQ(x, centre);
    EXPECT_EQ(y, centre);
    joystick_virtual_move(-32768, 32767);
    ASSERT_EQ(joystick_device_position(&x, &y), joystick_read);
    EXPECT_EQ(x, 0u);
    EXPECT_EQ(y, 65535u);

    // Through the joystick code: start centred at the far corner, then pushed forward.
    joystick_ok = false;
    joystick = joystick_type{};
    robot.set_auto_mode(false);
    remote_mode = false;
    joystick_virtual_move(0, 0);
    joystick_start();
    ASSERT_TRUE(joystick_ok);
    joystick_virtual_move(0, -20000);
    joystick_check();
    EXPECT_TRUE(joystick.up);
    EXPECT_FALSE(joystick.left);

    joystick_virtual_detach();
    x = y = 7;
    EXPECT_EQ(joystick_device_position(&x, &y), joystick_unplugged);
    EXPECT_EQ(x, 7u);
    EXPECT_EQ(joystick_device_manufacturer(), 0u);

    ASSERT_TRUE(joystick_virtual_attach(0));
    EXPECT_EQ(joystick_device_manufacturer(), 0u) << "no vendor counts as no manufacturer";
    EXPECT_EQ(joystick_device_position(&x, &y), joystick_read) << "joystick 1 is opened again";
    joystick_virtual_detach();

    // None at start-up, one attached later: taken up by the polls, without a restart.
    joystick_ok = false;
    joystick = joystick_type{};
    joystick_start();
    ASSERT_FALSE(joystick_ok);
    ASSERT_TRUE(joystick_virtual_attach(vendor));
    for (int i = 0; i < 100 && !joystick_ok; i++)
        joystick_check();
    EXPECT_TRUE(joystick_ok);
    joystick_virtual_detach();
    joystick_ok = false;
    joystick = joystick_type{};
    robot.reset_control();
}

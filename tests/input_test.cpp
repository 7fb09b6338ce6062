// Keyboard driving: the key table, the motion table, the mode key, and key messages arriving through the
// main window's procedure.
#include "console/input.h"

#include "app/main.h"
#include "console/joystick.h"
#include "platform/messages.h"
#include "robot/motion.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

namespace {

constexpr unsigned int W = 0x57, S = 0x53, A = 0x41, D = 0x44, M = 0x4D;

control_type control_now()
{
    control_type c;
    robot.get_control(&c);
    return c;
}

void expect_targets(double left, bool left_reverse, double right, bool right_reverse, const char* what)
{
    control_type c = control_now();
    EXPECT_NEAR(c.left_target, left, 1e-9) << what;
    EXPECT_NEAR(c.right_target, right, 1e-9) << what;
    EXPECT_EQ(c.left_reverse, left_reverse) << what;
    EXPECT_EQ(c.right_reverse, right_reverse) << what;
}

void expect_neutral(const char* what)
{
    control_type c = control_now();
    EXPECT_EQ(c.left_target, 0.0) << what;
    EXPECT_EQ(c.right_target, 0.0) << what;
    EXPECT_EQ(c.left_speed, 0.0) << what;
    EXPECT_EQ(c.right_speed, 0.0) << what;
    EXPECT_FALSE(c.left_reverse || c.right_reverse) << what;
}

class Input : public testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset()
    {
        std::memset(keys, 0, sizeof keys);
        joystick = joystick_type{};
        motion_reset();
    }
    static void press(std::initializer_list<unsigned int> pressed)
    {
        for (unsigned int key : pressed)
            input_key_down(key, 1);
    }
    static void release_all()
    {
        for (unsigned int key : {W, S, A, D, M})
            input_key_up(key);
    }
};

} // namespace

TEST_F(Input, HeldKeysChooseTheMotionOfTheTable)
{
    struct row {
        std::initializer_list<unsigned int> held;
        double left;
        bool left_reverse;
        double right;
        bool right_reverse;
        const char* name;
    };
    const row rows[] = {
        {{W, A}, 13.2, false, 82.8, false, "forward left"},
        {{W, A, D, S}, 13.2, false, 82.8, false, "forward wins, left wins"},
        {{W, D}, 93.6, false, 2.4, false, "forward right"},
        {{W}, 58.8, false, 37.2, false, "forward carries a slight turn"},
        {{W, S}, 58.8, false, 37.2, false, "forward wins over backward"},
        {{S, A}, 13.2, true, 82.8, true, "backward left"},
        {{S, D}, 82.8, true, 13.2, true, "backward right"},
        {{S}, 37.2, true, 58.8, true, "backward"},
        {{A}, 34.8, true, 34.8, false, "turn left on the spot"},
        {{A, D}, 34.8, true, 34.8, false, "left wins over right"},
        {{D}, 34.8, false, 34.8, true, "turn right on the spot"},
        {{}, 0, false, 0, false, "idle"},
    };
    for (const row& r : rows) {
        release_all();
        press(r.held);
        expect_targets(r.left, r.left_reverse, r.right, r.right_reverse, r.name);
    }
}

TEST_F(Input, ReleasingTheKeyStopsAtTheNextStep)
{
    input_key_down(W, 1);
    EXPECT_TRUE(keys[W]);
    motion_ramp(0.1);
    control_type c = control_now();
    EXPECT_GT(c.left_speed, 0.0);
    EXPECT_LT(c.left_speed, 58.8) << "speeding up is gradual";
    input_key_up(W);
    EXPECT_FALSE(keys[W]);
    expect_neutral("released: the key's own ramp step stops both sides");
}

TEST_F(Input, KeyCodesUseTheirLowEightBits)
{
    input_key_down(0x100 | W, 1);
    EXPECT_TRUE(keys[W]);
    expect_targets(58.8, false, 37.2, false, "W with high bits");
    input_key_up(0x300 | W);
    EXPECT_FALSE(keys[W]);
}

TEST_F(Input, AutomaticRepeatChangesNothing)
{
    input_key_down(W, KEY_REPEAT_BIT | 1);
    EXPECT_FALSE(keys[W]);
    expect_neutral("a repeat gives no motion command");
    input_key_down(M, KEY_REPEAT_BIT | 1);
    EXPECT_FALSE(robot.get_auto_mode());
}

TEST_F(Input, ModeKeyTogglesOnEveryFreshPressWhileHeld)
{
    input_key_down(M, 1);
    EXPECT_TRUE(robot.get_auto_mode());
    input_key_down(W, 1);
    EXPECT_FALSE(robot.get_auto_mode()) << "W pressed while M is held toggles again";
    input_key_up(M);
    input_key_down(S, 1);
    EXPECT_FALSE(robot.get_auto_mode());
}

TEST_F(Input, AutomaticModeSuspendsDrivingUntilSwitchedOff)
{
    input_key_down(M, 1);
    input_key_up(M);
    ASSERT_TRUE(robot.get_auto_mode());
    expect_neutral("switched on, nobody's last command runs on");
    intent_type automatic;
    automatic.who = {driver_kind::automode, 0};
    automatic.action = intent_action::auto_record;
    automatic.record[2] = automatic.record[3] = 48;
    motion_submit(automatic, 0.0);
    input_key_down(W, 1);
    EXPECT_TRUE(keys[W]);
    expect_targets(48, false, 48, false, "keys stand aside in automatic mode");
    input_key_down(M, 1);
    EXPECT_FALSE(robot.get_auto_mode());
    expect_targets(58.8, false, 37.2, false, "switched off, then the held W applies");
}

TEST_F(Input, RemoteOperatorKeepsTheRobotButTheModeKeyStillActs)
{
    intent_type link;
    link.who = {driver_kind::link, 0};
    link.action = intent_action::link_connect;
    motion_submit(link, 0.0);
    link.action = intent_action::link_record;
    const unsigned char backwards[7] = {0, 3, 48, 48, 0x80, 0x80, 0};
    std::memcpy(link.record, backwards, sizeof backwards);
    motion_submit(link, 0.0);
    input_key_down(D, 1);
    EXPECT_TRUE(keys[D]);
    expect_targets(48, true, 48, true, "keys stand aside for the operator");
    input_key_down(M, 1);
    EXPECT_TRUE(robot.get_auto_mode());
    expect_targets(48, true, 48, true, "the link keeps driving in automatic mode");
}

TEST_F(Input, LosingTheFocusStopsAndForgetsTheHeldKeys)
{
    input_key_down(W, 1);
    input_key_down(A, 1);
    motion_ramp(0.2);
    input_lose_focus();
    expect_neutral("focus lost");
    EXPECT_FALSE(keys[W] || keys[A]) << "keys released elsewhere are not held any more";
    // W and A were released while another window had the focus: no key-up ever comes for them.
    input_key_down(D, 1);
    expect_targets(34.8, false, 34.8, true, "only D drives: no phantom W");
    input_key_up(D);
    joystick.up = true;  // a joystick event after the focus change applies no forgotten key either
    input_update();
    joystick.up = false;
    expect_targets(58.8, false, 37.2, false, "joystick forward alone");
}

TEST_F(Input, JoystickDirectionsJoinTheKeys)
{
    joystick.up = true;
    joystick.left = true;
    input_update();
    expect_targets(13.2, false, 82.8, false, "joystick up and left");
    joystick.up = false;
    input_key_down(S, 1);
    expect_targets(13.2, true, 82.8, true, "S with joystick left");
}

TEST_F(Input, KeyMessagesReachKeyboardDrivingThroughTheWindowProcedure)
{
    EXPECT_EQ(WinProc(nullptr, WM_KEYDOWN, W, 1), 0);
    expect_targets(58.8, false, 37.2, false, "WM_KEYDOWN W");
    EXPECT_EQ(WinProc(nullptr, WM_KEYDOWN, W, KEY_REPEAT_BIT | 1), 0);
    EXPECT_EQ(WinProc(nullptr, WM_KEYUP, W, 0), 0);
    expect_neutral("WM_KEYUP W");
    WinProc(nullptr, WM_KEYDOWN, A, 1);
    motion_ramp(0.1);
    EXPECT_EQ(WinProc(nullptr, WM_KILLFOCUS, 0, 0), 0);
    expect_neutral("WM_KILLFOCUS");
    EXPECT_FALSE(keys[A]);
}

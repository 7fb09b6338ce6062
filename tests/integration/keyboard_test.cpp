// Keyboard driving end to end: real key events typed into the real "Quillon" window under Xvfb reach the
// simulated board as motor bytes; releasing the key, or the window losing the focus, stops the motors.
#include "integration_support.h"
#include "sim_record_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace integration;

namespace {

// quillon in windows on a virtual display, against quillon-sim recording what the board receives.
class keyboard_rig {
public:
    keyboard_rig()
    {
        sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", folder.path(),
                                                                 "--record", record(), "--no-stdin", "--quiet"},
                                        folder.path());
        wait_until([&] { return read_file(folder.file("config.txt")).find("serial_port pts/") == 0; });
        program = start_quillon(folder, {}, {display.environment()});
    }
    std::string record() const { return folder.file("bus.txt"); }
    size_t received() const { return read_board_commands(record()).size(); }

    // Waits for a command after the first `from` that passes the test; returns it (empty bytes on time-out).
    template <class F> board_command_type wait_for_command(size_t from, F test) const
    {
        board_command_type found;
        wait_until([&] {
            auto commands = read_board_commands(record());
            for (size_t i = from; i < commands.size(); i++)
                if (test(commands[i])) {
                    found = commands[i];
                    return true;
                }
            return false;
        }, std::chrono::seconds(5));
        return found;
    }
    // True when the board has received `count` commands after the first `from`, every one of them neutral.
    bool stays_neutral(size_t from, size_t count) const
    {
        wait_until([&] { return received() >= from + count; }, std::chrono::seconds(5));
        auto commands = read_board_commands(record());
        for (size_t i = from; i < commands.size(); i++)
            if (!commands[i].neutral()) {
                ADD_FAILURE() << "command " << i << ": " << commands[i].text();
                return false;
            }
        return commands.size() >= from + count;
    }
    std::string window_named(const std::string& title) const
    {
        std::string ids;
        wait_until([&] { return !(ids = display.run("xdotool search --name '^" + title + "$'")).empty(); });
        return ids.substr(0, ids.find('\n'));
    }

    virtual_display display;
    temp_folder folder;
    std::unique_ptr<process> sim;
    std::unique_ptr<process> program;
};

const auto forward = [](const board_command_type& c) { return c.forward(); };
const auto neutral = [](const board_command_type& c) { return c.neutral(); };

} // namespace

TEST(KeyboardWindow, HeldWDrivesForwardAndReleasingItOrLosingTheFocusStopsTheMotors)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        GTEST_SKIP() << "Xvfb is not installed";
    keyboard_rig rig;
    ASSERT_TRUE(rig.display.ready());
    ASSERT_TRUE(rig.program->running()) << rig.program->errors();
    std::string quillon = rig.window_named("Quillon");
    ASSERT_FALSE(quillon.empty()) << "no window named Quillon";
    ASSERT_TRUE(wait_until([&] { return rig.received() >= 3; })) << "the board receives no commands";

    // There is no window manager: the test gives the window the input focus itself.
    rig.display.run("xdotool windowfocus --sync " + quillon);
    ASSERT_EQ(rig.display.run("xdotool getwindowfocus"), quillon);

    size_t mark = rig.received();
    rig.display.run("xdotool keydown w");
    board_command_type moving = rig.wait_for_command(mark, forward);
    ASSERT_FALSE(moving.bytes.empty()) << "W held: no forward command after " << mark;
    // Held, the key keeps the ramp running: the left byte falls further below 0x80.
    mark = rig.received();
    board_command_type faster = rig.wait_for_command(mark, [&](const board_command_type& c) {
        return c.forward() && c.left() < moving.left();
    });
    EXPECT_FALSE(faster.bytes.empty()) << "the speed did not rise from " << moving.text();

    mark = rig.received();
    rig.display.run("xdotool keyup w");
    EXPECT_FALSE(rig.wait_for_command(mark, neutral).bytes.empty()) << "W released: no neutral command";
    mark = rig.received();
    EXPECT_TRUE(rig.stays_neutral(mark, 5));

    mark = rig.received();
    rig.display.run("xdotool keydown w");
    ASSERT_FALSE(rig.wait_for_command(mark, forward).bytes.empty()) << "W held again: no forward command";

    // Another client's window takes the focus while W is still held down.
    process thief({"/usr/bin/xmessage", "-title", "focus-thief", "the focus moves here"}, rig.folder.path(),
                  {rig.display.environment()});
    std::string other = rig.window_named("focus-thief");
    ASSERT_FALSE(other.empty()) << "xmessage opened no window";
    mark = rig.received();
    rig.display.run("xdotool windowfocus --sync " + other);
    ASSERT_EQ(rig.display.run("xdotool getwindowfocus"), other);
    EXPECT_FALSE(rig.wait_for_command(mark, neutral).bytes.empty()) << "focus lost: no neutral command";
    mark = rig.received();
    EXPECT_TRUE(rig.stays_neutral(mark, 5)) << "the held key drove again without the focus";

    rig.display.run("xdotool keyup w");
    rig.program->signal(SIGTERM);
    EXPECT_EQ(rig.program->wait(), 0);
}

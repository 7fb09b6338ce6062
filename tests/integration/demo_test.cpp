// scripts/demo as a newcomer runs it, under Xvfb: it builds the three programs with the demo preset, brings
// up quillon-sim and quillon in windows, the operator client drives the simulated robot, and Ctrl-C stops
// everything.
#include "integration_support.h"
#include "sim_record_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

using namespace integration;

namespace {

// The script started the way a terminal's shell starts a command: in a process group of its own with the
// default signal dispositions, so that SIGINT to the group is exactly what Ctrl-C does.
class demo_script {
public:
    demo_script(const temp_folder& folder, const std::string& work, const std::string& display)
        : out_path(folder.file("demo.out")), err_path(folder.file("demo.err"))
    {
        child = fork();
        if (child == 0)
            become_demo(work, display);
        if (child > 0)
            setpgid(child, child);
    }
    ~demo_script()
    {
        if (child > 0 && running()) {
            kill(-child, SIGKILL);
            wait(std::chrono::seconds(5));
        }
    }
    pid_t group() const { return child; }
    bool running() { return !ended && !(ended = waitpid(child, &status, WNOHANG) == child); }
    int wait(std::chrono::milliseconds limit)
    {
        if (!wait_until([this] { return !running(); }, limit))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string output() const { return read_file(out_path); }
    std::string errors() const { return read_file(err_path); }

private:
    [[noreturn]] void become_demo(const std::string& work, const std::string& display)
    {
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        setenv("QUILLON_DEMO_DIR", work.c_str(), 1);
        // The programs under test, already built: a fresh demo tree would take minutes of the test's time.
        setenv("QUILLON_DEMO_PRESET", QUILLON_TEST_PRESET, 1);
        setenv("DISPLAY", display.c_str(), 1);
        std::string script = source_dir() + "/scripts/demo";
        execl(script.c_str(), script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }

    std::string out_path;
    std::string err_path;
    pid_t child = -1;
    int status = 0;
    bool ended = false;
};

// The live (not yet exited) processes of a process group, by pid, with their command names.
std::map<pid_t, std::string> processes_in_group(pid_t group)
{
    std::map<pid_t, std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string stat = read_file(entry.path().string() + "/stat");
        size_t close_paren = stat.rfind(')');
        if (close_paren == std::string::npos || close_paren + 4 >= stat.size())
            continue;
        char state = 0;
        int parent = 0, pgrp = 0;
        if (std::sscanf(stat.c_str() + close_paren + 2, "%c %d %d", &state, &parent, &pgrp) != 3)
            continue;
        if (pgrp == group && state != 'Z' && state != 'X')
            found[std::stoi(name)] = stat.substr(stat.find('(') + 1, close_paren - stat.find('(') - 1);
    }
    return found;
}

std::string names_in_group(pid_t group)
{
    std::string names;
    for (const auto& [pid, name] : processes_in_group(group))
        names += name + " (" + std::to_string(pid) + ") ";
    return names;
}

// The process of the group running the command; 0 when there is none.
pid_t find_in_group(pid_t group, const std::string& command)
{
    for (const auto& [pid, name] : processes_in_group(group))
        if (name == command)
            return pid;
    return 0;
}

// True when the process has exited (an unreaped zombie has too).
bool gone(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || close_paren + 2 >= stat.size() || stat[close_paren + 2] == 'Z';
}

// quillon-operator driving from a terminal of its own, as from a second terminal next to the demo. Its
// screen is drained all the time so that its status line never blocks it.
class terminal_operator {
public:
    explicit terminal_operator(const std::string& program)
    {
        child = forkpty(&master, nullptr, nullptr, nullptr);
        if (child == 0) {
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (child > 0)
            reader = std::thread([this] { drain(); });
    }
    ~terminal_operator()
    {
        if (child > 0 && wait(std::chrono::milliseconds(0)) < 0) {
            kill(child, SIGKILL);
            wait(std::chrono::seconds(5));
        }
        stop = true;
        if (reader.joinable())
            reader.join();
        if (master >= 0)
            close(master);
    }
    bool started() const { return child > 0; }
    void type(const std::string& keys) { EXPECT_EQ(write(master, keys.data(), keys.size()), (ssize_t)keys.size()); }
    std::string screen()
    {
        std::lock_guard<std::mutex> hold(screen_lock);
        return text;
    }
    int wait(std::chrono::milliseconds limit)
    {
        if (!wait_until([this] { return ended || (ended = waitpid(child, &status, WNOHANG) == child); }, limit))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    void drain()
    {
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            char buffer[4096];
            ssize_t n = poll(&p, 1, 20) > 0 ? read(master, buffer, sizeof buffer) : 0;
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            std::lock_guard<std::mutex> hold(screen_lock);
            text.append(buffer, static_cast<size_t>(n));
        }
    }

    int master = -1;
    pid_t child = -1;
    int status = 0;
    bool ended = false;
    std::atomic<bool> stop{false};
    std::mutex screen_lock;
    std::string text;
    std::thread reader;
};

// A screenshot as raw RGB, for comparing the windows' areas.
struct screen_type {
    std::string rgb;
    static constexpr int width = 1280;  // the virtual display's screen
    bool load(const virtual_display& display, const std::string& png)
    {
        display.run("convert " + png + " -depth 8 rgb:" + png + ".rgb");
        rgb = read_file(png + ".rgb");
        return rgb.size() == static_cast<size_t>(width) * 1024 * 3;
    }
    int blue(int x, int y, int w, int h) const
    {
        int count = 0;
        for (int row = y; row < y + h; row++)
            for (int column = x; column < x + w; column++)
                count += rgb.compare((static_cast<size_t>(row) * width + column) * 3, 3, "\x00\x00\xff", 3) == 0;
        return count;
    }
    // Pixels that differ from the other screenshot inside the rectangle.
    int changed(const screen_type& other, int x, int y, int w, int h) const
    {
        int count = 0;
        for (int row = y; row < y + h; row++)
            for (int column = x; column < x + w; column++) {
                size_t at = (static_cast<size_t>(row) * width + column) * 3;
                count += rgb.compare(at, 3, other.rgb, at, 3) != 0 ? 1 : 0;
            }
        return count;
    }
};

std::string first_window(const virtual_display& display, const std::string& title)
{
    std::string ids = display.run("xdotool search --name '^" + title + "$'");
    return ids.substr(0, ids.find('\n'));
}

// The demo in a temporary folder on a virtual display, and what the test looks at: its banner, windows,
// log and the simulated board's record.
class demo_rig {
public:
    demo_rig() : work(folder.file("demo")), script(folder, work, display.display()) {}

    // Waits for the banner (a fresh tree builds first, which takes minutes) and takes the operator client
    // it names.
    void wait_for_banner()
    {
        ASSERT_TRUE(wait_until([&] { return script.output().find("Press Ctrl-C to stop.") != std::string::npos ||
                                            !script.running(); },
                               std::chrono::minutes(30)));
        ASSERT_TRUE(script.running()) << script.output() << script.errors();
        std::string banner = script.output();
        EXPECT_NE(banner.find("log:           " + log()), std::string::npos) << banner;
        std::smatch drive;
        ASSERT_TRUE(std::regex_search(banner, drive, std::regex("drive remotely: (\\S+/quillon-operator)"))) << banner;
        operator_program = drive[1];
    }
    // Without a window manager both windows open at (200, 200): side by side, each can be looked at.
    void lay_out_windows()
    {
        std::string status_id, camera_id;
        ASSERT_TRUE(wait_until([&] {
            status_id = first_window(display, "Quillon");
            camera_id = first_window(display, "Serial Camera");
            return !status_id.empty() && !camera_id.empty() &&
                   display.run("xdotool getwindowgeometry " + camera_id).find("640x480") != std::string::npos;
        }, std::chrono::seconds(30)))
            << "the demo's windows: " << display.run("xwininfo -root -tree") << "\n" << diagnosis();
        display.run("xdotool windowmove " + status_id + " 0 0");
        display.run("xdotool windowmove " + camera_id + " 0 420");
    }
    // A screenshot once the camera has completed `images` more pictures.
    screen_type screenshot_after_images(int images, const std::string& name)
    {
        int now = count_lines_containing(log(), "Image Complete");
        EXPECT_TRUE(wait_until([&] { return count_lines_containing(log(), "Image Complete") >= now + images; },
                               std::chrono::seconds(20)))
            << "the simulated camera's images do not arrive";
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        screen_type screen;
        EXPECT_TRUE(display.screenshot(folder.file(name)) && screen.load(display, folder.file(name)));
        return screen;
    }
    // What the demo has to say when it went wrong: its banner and errors, what still runs, its logs.
    std::string diagnosis() const
    {
        std::string said = "demo said:\n" + script.output() + script.errors() + "\nstill running: " +
                           names_in_group(script.group()) + "\nquillon-sim said:\n" + read_file(work + "/sim.txt") +
                           "\nthe log, without its camera data:\n";
        for (const std::string& line : read_lines(log()))
            if (line.find("Cam data") == std::string::npos)
                said += line + "\n";
        return said;
    }
    size_t commands() const { return read_board_commands(record()).size(); }
    long forward_commands_since(size_t mark) const
    {
        auto all = read_board_commands(record());
        return std::count_if(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end(),
                             [](const board_command_type& c) { return c.forward(); });
    }
    std::string log() const { return work + "/log.txt"; }
    std::string record() const { return work + "/bus.txt"; }

    virtual_display display;
    temp_folder folder;
    std::string work;
    demo_script script;
    std::string operator_program;
};

// The operator client's scripted modes against the demo: one message and its reply, the round-trip figures.
void check_scripted_operator(const demo_rig& rig)
{
    process send({rig.operator_program, "--send", "30 00 00 60 60 80 80 00"}, rig.folder.path());
    EXPECT_EQ(send.wait(), 0) << send.errors();
    EXPECT_TRUE(std::regex_match(send.output(), std::regex("90 ff 00 ff( [0-9a-f]{2}){17}\n"))) << send.output();
    process bench({rig.operator_program, "--bench", "1000"}, rig.folder.path());
    EXPECT_EQ(bench.wait(std::chrono::seconds(60)), 0) << bench.errors();
    EXPECT_NE(bench.output().find("round trips: 1000\n"), std::string::npos) << bench.output();
    EXPECT_TRUE(std::regex_search(bench.output(), std::regex("median: [0-9.]+ us\n99th percentile: [0-9.]+ us\n")))
        << bench.output();
}

} // namespace

TEST(Demo, ScriptRunsTheSimulatedRobotTheOperatorDrivesItAndCtrlCStopsEverything)
{
    if (access("/usr/bin/Xvfb", X_OK) != 0)
        GTEST_SKIP() << "Xvfb is not installed";
    demo_rig rig;
    ASSERT_TRUE(rig.display.ready());
    ASSERT_NO_FATAL_FAILURE(rig.wait_for_banner());
    ASSERT_NO_FATAL_FAILURE(rig.lay_out_windows());
    pid_t quillon = find_in_group(rig.script.group(), "quillon");
    pid_t sim = find_in_group(rig.script.group(), "quillon-sim");
    EXPECT_GT(quillon, 0) << names_in_group(rig.script.group());
    EXPECT_GT(sim, 0) << names_in_group(rig.script.group());
    screen_type before = rig.screenshot_after_images(2, "before.png");
    screen_type still = rig.screenshot_after_images(2, "still.png");
    check_scripted_operator(rig);

    // Each --send is a client that comes and goes, and a client leaving stops the robot: steady driving is
    // the interactive client's job, at its 10 Hz.
    size_t mark = rig.commands();
    terminal_operator driver(rig.operator_program);
    ASSERT_TRUE(driver.started());
    ASSERT_TRUE(wait_until([&] { return driver.screen().find("rtt") != std::string::npos; })) << driver.screen();
    driver.type("w");
    EXPECT_TRUE(wait_until([&] { return rig.forward_commands_since(mark) >= 15; }))
        << "the board received " << rig.forward_commands_since(mark) << " forward commands";
    screen_type during = rig.screenshot_after_images(2, "driving.png");
    driver.type("q");
    EXPECT_EQ(driver.wait(std::chrono::seconds(5)), 0) << driver.screen();

    // The status window's two motor target bars, at (150, 15) to (240, 125), fill with blue.
    EXPECT_EQ(before.blue(150, 15, 90, 110), 0);
    EXPECT_GT(during.blue(150, 15, 90, 110), 100) << "the motor target bars show no speed";
    EXPECT_EQ(still.changed(before, 0, 420, 640, 480), 0) << "the camera view changed with the robot standing";
    EXPECT_GT(during.changed(before, 0, 420, 640, 480), 1000) << "the camera view did not change";

    // Ctrl-C in the demo's terminal.
    kill(-rig.script.group(), SIGINT);
    EXPECT_EQ(rig.script.wait(std::chrono::seconds(20)), 0) << rig.script.errors();
    EXPECT_TRUE(wait_until([&] { return gone(quillon) && gone(sim); }, std::chrono::seconds(5)))
        << "after Ctrl-C: quillon " << (gone(quillon) ? "gone" : "runs") << ", quillon-sim "
        << (gone(sim) ? "gone" : "runs");
    EXPECT_TRUE(processes_in_group(rig.script.group()).empty())
        << "still running after Ctrl-C: " << names_in_group(rig.script.group());
    EXPECT_GE(count_lines_containing(rig.log(), "Network - Stop"), 1) << "quillon did not run its shutdown";
}

// The Windows build end to end under Wine: the real quillon.exe, its COM5 mapped to quillon-sim's
// pseudo-terminal, a Linux operator client on TCP, the status window on the session's virtual display.
#include "integration_support.h"
#include "sim_record_support.h"
#include "wine_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

using namespace integration;

namespace {

// The 21-byte telemetry reply of this system: type, FF 00 FF, and zero link values.
std::vector<unsigned char> telemetry_reply()
{
    std::vector<unsigned char> reply(21, 0x00);
    reply[0] = 0x90;
    reply[1] = 0xFF;
    reply[3] = 0xFF;
    return reply;
}

// quillon-sim on a pseudo-terminal, reached from Windows as COM5. The board can be unplugged (the sim
// ends, its terminal hangs up) and plugged in again (a new sim on a new terminal, COM5 pointed at it).
class com_rig {
public:
    com_rig()
    {
        plug();
        folder.write("config.txt", "serial_port COM5\n");
    }
    ~com_rig() { unplug(); }
    void plug()
    {
        plugs++;
        std::filesystem::create_directory(sim_folder());
        sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", sim_folder(),
                                                                 "--record", record_path(), "--quiet"},
                                        folder.path());
        std::string config;
        wait_until([&] {
            config = read_file(sim_folder() + "/config.txt");
            return config.rfind("serial_port pts/", 0) == 0 && config.find('\n') != std::string::npos;
        });
        if (config.rfind("serial_port ", 0) != 0)
            return;
        device = "/dev/" + config.substr(12, config.find('\n') - 12);
        // Held open on this side as well, so the line never hangs up between the program's opens.
        slave = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        mapped = slave >= 0 && wine::map_com_port(5, device);
    }
    void unplug()
    {
        sim.reset();  // killed: its terminal hangs up
        if (slave >= 0)
            close(slave);
        slave = -1;
        mapped = false;
    }
    std::string sim_folder() const { return folder.file("sim" + std::to_string(plugs)); }
    std::string record_path() const { return folder.file("bus" + std::to_string(plugs) + ".rec"); }
    std::string log_path() const { return folder.file("log.txt"); }
    std::vector<board_command_type> commands() const { return read_board_commands(record_path()); }

    temp_folder folder;
    std::unique_ptr<process> sim;
    std::string device;
    int plugs = 0;
    int slave = -1;
    bool mapped = false;
};

// Sends control messages at about 7 Hz for the time; every one must get exactly one telemetry reply.
void drive(tcp_client& client, unsigned char flags, unsigned char left, unsigned char right,
           std::chrono::milliseconds time)
{
    auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_TRUE(client.send_bytes(control_message(flags, left, right)));
        EXPECT_EQ(client.receive(21), telemetry_reply());
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
}

void expect_neutral_ten_times_a_second(const std::vector<board_command_type>& commands)
{
    for (const board_command_type& command : commands)
        EXPECT_TRUE(command.neutral()) << command.text();
    double from = commands[2].time;  // a two-second window away from the start
    long in_window = std::count_if(commands.begin(), commands.end(),
                                   [&](const board_command_type& c) { return c.time >= from && c.time < from + 2.0; });
    EXPECT_GE(in_window, 16);
    EXPECT_LE(in_window, 21);
    std::vector<double> intervals;
    for (size_t i = 1; i < commands.size(); i++)
        intervals.push_back(commands[i].time - commands[i - 1].time);
    std::sort(intervals.begin(), intervals.end());
    EXPECT_NEAR(intervals[intervals.size() / 2], 0.100, 0.02);
}

} // namespace

TEST(WindowsProgram, DrivesTheSimulatedBoardThroughCom5AndEndsCleanlyOnClose)
{
    com_rig rig;
    ASSERT_TRUE(rig.mapped) << "no pseudo-terminal to map as COM5: " << rig.device;
    auto program = start_quillon(rig.folder, {});
    ASSERT_TRUE(program->running()) << program->errors();
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Network Online")) << "TCP port 32459 taken?\n" << read_file(rig.log_path());
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Online")) << read_file(rig.log_path());

    ASSERT_TRUE(wait_until([&] { return rig.commands().size() >= 25; }, std::chrono::seconds(15)));
    expect_neutral_ten_times_a_second(rig.commands());

    unsigned long window = wine::find_window("Quillon");
    ASSERT_NE(window, 0ul) << "no visible window titled Quillon";
    int width = 0, height = 0;
    ASSERT_TRUE(wine::window_size(window, &width, &height));
    EXPECT_EQ(width, 800);
    EXPECT_EQ(height, 400);

    tcp_client client;
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Connection from: 127.0.0.1"));
    size_t before = rig.commands().size();
    drive(client, 0x00, 48, 48, std::chrono::seconds(4));  // both sides forward at 48, through the ramp
    auto commands = rig.commands();
    ASSERT_GT(commands.size(), before + 30);
    const board_command_type& last = commands.back();
    EXPECT_TRUE(last.left() == 0x50 || last.left() == 0x51) << last.text();    // forward: below 0x80
    EXPECT_TRUE(last.right() == 0xB0 || last.right() == 0xAF) << last.text();  // forward: above 0x80
    EXPECT_EQ(last.bytes[3], last.bytes[2]);
    EXPECT_EQ(last.bytes[5], last.bytes[4]);
    drive(client, 0x00, 0, 0, std::chrono::milliseconds(600));  // a target of 0 stops at once
    EXPECT_TRUE(rig.commands().back().neutral()) << rig.commands().back().text();
    EXPECT_TRUE(client.receive(1, std::chrono::milliseconds(300)).empty()) << "a reply nobody asked for";

    ASSERT_TRUE(wine::request_close(window));
    EXPECT_EQ(program->wait(std::chrono::seconds(20)), 0) << program->errors();
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Stop Complete"), 1) << read_file(rig.log_path());
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Network - Stop"), 1);
    // The port worked throughout: no error from its waits and reads, no loss.
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Port error"), 0) << read_file(rig.log_path());
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Connection lost"), 0);
    EXPECT_TRUE(client.closed_by_peer());
    EXPECT_TRUE(rig.commands().back().neutral()) << "the board is left moving";
}

// The board unplugged while the program runs: the COM port's hang-up is seen, the port closed and tried
// again once per two-second cycle (one log line for every failed try, no busy loop), and once COM5 leads
// to a board again the neutral commands reach it with no restart.
TEST(WindowsProgram, AnUnpluggedBoardIsTakenUpAgainWhenItReturns)
{
    com_rig rig;
    ASSERT_TRUE(rig.mapped) << "no pseudo-terminal to map as COM5: " << rig.device;
    auto program = start_quillon(rig.folder, {"--headless"});
    ASSERT_TRUE(program->running()) << program->errors();
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Online")) << read_file(rig.log_path());
    ASSERT_TRUE(wait_until([&] { return rig.commands().size() >= 3; }, std::chrono::seconds(15)));

    rig.unplug();
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Connection lost", std::chrono::seconds(10)))
        << read_file(rig.log_path());
    std::this_thread::sleep_for(std::chrono::seconds(5));  // two or three cycles without a board
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Reconnected"), 0);
    EXPECT_LE(count_lines_containing(rig.log_path(), "Unable to open serial port"), 1) << read_file(rig.log_path());
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Connection lost"), 1) << "lost again and again";

    rig.plug();
    ASSERT_TRUE(rig.mapped) << rig.device;
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Reconnected", std::chrono::seconds(10)))
        << read_file(rig.log_path());
    ASSERT_TRUE(wait_until([&] { return rig.commands().size() >= 5; }, std::chrono::seconds(10)))
        << "no commands at the board plugged in again";
    EXPECT_TRUE(rig.commands().back().neutral()) << rig.commands().back().text();
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Connection lost"), 1) << read_file(rig.log_path());
    program->signal(SIGINT);
    EXPECT_EQ(program->wait(std::chrono::seconds(20)), 0) << program->errors();
}

TEST(WindowsProgram, CtrlCRunsTheNormalShutdown)
{
    temp_folder folder;
    auto program = start_quillon(folder, {"--headless"});
    ASSERT_TRUE(program->running()) << program->errors();
    ASSERT_TRUE(wait_for_line(folder.file("log.txt"), "Network Online"))
        << "TCP port 32459 taken?\n" << read_file(folder.file("log.txt"));
    tcp_client client;
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send_bytes(control_message(0x00, 0, 0)));
    EXPECT_EQ(client.receive(21), telemetry_reply());
    program->signal(SIGINT);
    EXPECT_EQ(program->wait(std::chrono::seconds(20)), 0) << program->errors();
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Network - Stop"), 1) << read_file(folder.file("log.txt"));
}

TEST(WindowsProgram, EscInTheStatusWindowEndsTheProgram)
{
    temp_folder folder;
    auto program = start_quillon(folder, {});
    ASSERT_TRUE(program->running()) << program->errors();
    unsigned long window = wine::find_window("Quillon");
    ASSERT_NE(window, 0ul) << "no visible window titled Quillon";
    wine::run_x("xdotool windowfocus --sync " + std::to_string(window) + " key Escape");
    EXPECT_EQ(program->wait(std::chrono::seconds(20)), 0) << program->errors();
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Network - Stop"), 1) << read_file(folder.file("log.txt"));
}

// The serial bus end to end: the real quillon, headless, against the real quillon-sim on a pseudo-terminal.
// The sim records every packet the board receives; the tests read that record and quillon's log.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>

using namespace integration;

namespace {

struct record_entry {
    double time = 0.0;
    std::vector<unsigned char> bytes;  // a packet the board received; empty for an event line
    std::string event;                 // "# time text" lines: the text
};

std::vector<record_entry> read_record(const std::string& path)
{
    std::vector<record_entry> entries;
    for (const std::string& line : read_lines(path)) {
        std::istringstream words(line);
        record_entry entry;
        if (line.rfind("# ", 0) == 0) {
            std::string hash;
            words >> hash >> entry.time;
            std::getline(words >> std::ws, entry.event);
        } else {
            words >> entry.time;
            for (unsigned int value; words >> std::hex >> value;)
                entry.bytes.push_back(static_cast<unsigned char>(value));
        }
        entries.push_back(entry);
    }
    return entries;
}

// The command packets (device 1, 8 payload bytes) of the record.
std::vector<record_entry> commands_of(const std::vector<record_entry>& entries)
{
    std::vector<record_entry> commands;
    for (const record_entry& entry : entries)
        if (entry.bytes.size() == 11 && entry.bytes[0] == 0x01 && entry.bytes[1] == 0x08)
            commands.push_back(entry);
    return commands;
}

const std::vector<unsigned char> neutral_packet{0x01, 0x08, 0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0, 0x09};

// quillon and quillon-sim in one working folder: the sim writes config.txt, the record and takes control
// lines on a FIFO.
class bus_rig {
public:
    explicit bus_rig(const std::vector<std::string>& sim_options = {},
                     const std::vector<std::string>& quillon_arguments = {"--headless"},
                     const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> arguments{sim_binary(), "--write-config", folder.path(), "--record", record_path(),
                                           "--control", control_path(), "--quiet"};
        arguments.insert(arguments.end(), sim_options.begin(), sim_options.end());
        sim = std::make_unique<process>(arguments, folder.path());
        wait_until([&] { return read_file(folder.file("config.txt")).find("serial_port pts/") == 0; });
        program = start_quillon(folder, quillon_arguments, environment);
    }
    std::string record_path() const { return folder.file("bus.rec"); }
    std::string control_path() const { return folder.file("sim.ctl"); }
    std::string log_path() const { return folder.file("log.txt"); }
    std::string port() const
    {
        std::string config = read_file(folder.file("config.txt"));
        return config.substr(12, config.find('\n') - 12);
    }
    std::vector<record_entry> record() const { return read_record(record_path()); }
    std::vector<record_entry> commands() const { return commands_of(record()); }

    // Sends one control line to the sim.
    void tell(const std::string& line) const
    {
        int fd = open(control_path().c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << "the sim's control FIFO is not there";
        std::string text = line + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    // The time in the record of the event, waiting for it to appear.
    double event_time(const std::string& event) const
    {
        double time = -1.0;
        wait_until([&] {
            for (const record_entry& entry : record())
                if (entry.event == event)
                    time = entry.time;
            return time >= 0;
        });
        return time;
    }
    // Waits until the board has received this many more commands.
    bool wait_for_commands(size_t more, std::chrono::milliseconds limit = std::chrono::seconds(10)) const
    {
        size_t target = commands().size() + more;
        return wait_until([&] { return commands().size() >= target; }, limit);
    }
    // An operator client whose accept the log has shown (the link serves one client at a time, so no probe
    // connection may come first).
    std::unique_ptr<tcp_client> connect_operator() const
    {
        int before = count_lines_containing(log_path(), "Connection from: 127.0.0.1");
        auto client = std::make_unique<tcp_client>();
        EXPECT_TRUE(client->connected());
        EXPECT_TRUE(wait_until([&] { return count_lines_containing(log_path(), "Connection from: 127.0.0.1") > before; }));
        return client;
    }
    // Ends quillon with SIGTERM; returns its exit code.
    int shut_down()
    {
        program->signal(SIGTERM);
        return program->wait();
    }

    temp_folder folder;
    std::unique_ptr<process> sim;
    std::unique_ptr<process> program;
};

// CPU seconds (user and system) the process has used, from /proc/PID/stat.
double cpu_seconds(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1.0;
    std::istringstream fields(stat.substr(close_paren + 2));
    std::string field;
    unsigned long user = 0, system = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; number++) {
        if (number == 14)
            user = std::stoul(field);
        if (number == 15)
            system = std::stoul(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The screen of a virtual display as raw RGB, read with ImageMagick's import.
struct screen_image {
    int width = 1280;  // the virtual display's screen
    int height = 1024;
    std::string rgb;
    bool grab(const virtual_display& display, const std::string& path)
    {
        display.run("import -window root -depth 8 rgb:" + path);
        rgb = read_file(path);
        return rgb.size() == static_cast<size_t>(width) * height * 3;
    }
    bool is(int x, int y, unsigned char r, unsigned char g, unsigned char b) const
    {
        size_t at = (static_cast<size_t>(y) * width + x) * 3;
        return static_cast<unsigned char>(rgb[at]) == r && static_cast<unsigned char>(rgb[at + 1]) == g &&
               static_cast<unsigned char>(rgb[at + 2]) == b;
    }
    // Blue pixels of the column from y to y + length.
    int blue_in_column(int x, int y, int length) const
    {
        int count = 0;
        for (int i = 0; i < length; i++)
            count += is(x, y + i, 0, 0, 255) ? 1 : 0;
        return count;
    }
    std::string area(int x, int y, int w, int h) const
    {
        std::string part;
        for (int row = y; row < y + h; row++)
            part += rgb.substr((static_cast<size_t>(row) * width + x) * 3, static_cast<size_t>(w) * 3);
        return part;
    }
};

} // namespace

TEST(BusIntegration, TheBoardReceivesTheNeutralCommandAboutTenTimesASecond)
{
    bus_rig rig;
    ASSERT_TRUE(rig.program->running());
    ASSERT_TRUE(rig.wait_for_commands(25));
    auto commands = rig.commands();
    for (const record_entry& command : commands)
        EXPECT_EQ(command.bytes, neutral_packet);
    // A two-second window away from the start.
    double from = commands[2].time;
    size_t in_window = std::count_if(commands.begin(), commands.end(),
                                     [&](const record_entry& c) { return c.time >= from && c.time < from + 2.0; });
    EXPECT_GE(in_window, 16u);
    EXPECT_LE(in_window, 21u);
    std::vector<double> intervals;
    for (size_t i = 1; i < commands.size(); i++)
        intervals.push_back(commands[i].time - commands[i - 1].time);
    std::sort(intervals.begin(), intervals.end());
    EXPECT_NEAR(intervals[intervals.size() / 2], 0.100, 0.015);
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Controller -  - Starting thread"), 1);
    EXPECT_EQ(rig.shut_down(), 0);
}

TEST(BusIntegration, AnOperatorControlMessageReachesTheBoardAsMotorBytes)
{
    bus_rig rig;
    auto client = rig.connect_operator();
    auto drive = [&](unsigned char flags, unsigned char left, unsigned char right, std::chrono::milliseconds time) {
        auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            client->send_bytes(control_message(flags, left, right));
            EXPECT_EQ(client->receive(21).size(), 21u);
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    };
    size_t before = rig.commands().size();
    drive(0x00, 48, 48, std::chrono::seconds(4));  // both sides forward at 48, through the ramp
    auto commands = rig.commands();
    ASSERT_GT(commands.size(), before + 30);
    std::vector<unsigned char> last = commands.back().bytes;
    EXPECT_TRUE(last[2] == 0x50 || last[2] == 0x51) << std::hex << int(last[2]);  // left forward: below 0x80
    EXPECT_EQ(last[3], last[2]);
    EXPECT_TRUE(last[4] == 0xB0 || last[4] == 0xAF) << std::hex << int(last[4]);  // right forward: above 0x80
    EXPECT_EQ(last[5], last[4]);
    for (size_t i = before + 1; i < commands.size(); i++)  // the ramp only speeds up
        EXPECT_LE(commands[i].bytes[2], commands[i - 1].bytes[2]);

    drive(0x03, 48, 48, std::chrono::milliseconds(600));  // both sides backwards at the same speed
    last = rig.commands().back().bytes;
    EXPECT_TRUE(last[2] == 0xB0 || last[2] == 0xAF) << std::hex << int(last[2]);
    EXPECT_TRUE(last[4] == 0x50 || last[4] == 0x51) << std::hex << int(last[4]);

    drive(0x00, 0, 0, std::chrono::milliseconds(600));  // a target of 0 stops that side at once
    EXPECT_EQ(rig.commands().back().bytes, neutral_packet);
    EXPECT_EQ(rig.shut_down(), 0);
}

TEST(BusIntegration, ABadChecksumGivesAFlushSecondInWhichNoCommandIsSent)
{
    bus_rig rig;
    ASSERT_TRUE(rig.wait_for_commands(5));
    rig.tell("fault bad-checksum");
    double fault = rig.event_time("fault bad-checksum");
    ASSERT_GE(fault, 0);
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Exit Flush"));
    ASSERT_TRUE(rig.wait_for_commands(3));
    auto commands = rig.commands();
    // A command already on its way when the bad packet went out may still land just after it.
    double gap_end = 1e9;
    for (const record_entry& command : commands)
        if (command.time > fault + 0.02)
            gap_end = std::min(gap_end, command.time);
    EXPECT_GE(gap_end - fault, 0.99) << "a command was sent during the flush second";
    EXPECT_LE(gap_end - fault, 2.0) << "commands did not resume after the flush second";

    auto lines = read_lines(rig.log_path());
    auto find = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    auto invalid = find("Invalid packet checksum actual: ");
    auto enter = find("Serial - Enter Flush");
    auto exit = find("Serial - Exit Flush");
    ASSERT_NE(invalid, lines.end());
    EXPECT_TRUE(invalid < enter && enter < exit);
    EXPECT_NE(find("] Buffer: : (6) 06 01 "), lines.end());
    // The board's telemetry at 10 Hz (and the camera's pieces) arrive during the second: one ignore line per
    // batch. A line per byte would be hundreds: ten telemetry packets alone are sixty bytes.
    long ignored = std::count_if(enter, exit, [](const std::string& l) {
        return l.find("Serial - Flush Ignore: ") != std::string::npos;
    });
    EXPECT_GE(ignored, 7);
    EXPECT_LE(ignored, 59);
    EXPECT_EQ(rig.shut_down(), 0);
}

TEST(BusIntegration, DeviceTextUnknownDevicesAndShortPacketsAreReportedAndTheBusRunsOn)
{
    bus_rig rig;
    ASSERT_TRUE(rig.wait_for_commands(3));
    rig.tell("fault text 100% %s %n sure");
    rig.tell("fault unknown-device 5");
    rig.tell("fault short-payload 2");
    ASSERT_TRUE(wait_for_line(rig.log_path(), "] 100% %s %n sure"));
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Data for invalid device: 5"));
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Controller - Telemetry payload too short: 2 bytes, ignored"));
    rig.tell("fault short-length 3");
    ASSERT_TRUE(wait_for_line(rig.log_path(), "Serial - Invalid packet size"));
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Enter Flush"), 0);
    ASSERT_TRUE(rig.wait_for_commands(5));
    EXPECT_EQ(rig.commands().back().bytes, neutral_packet);
    EXPECT_EQ(rig.shut_down(), 0);
}

TEST(BusIntegration, WithoutConfigFileTheProgramRunsOnWithNoPort)
{
    temp_folder folder;
    auto program = start_quillon(folder);
    ASSERT_TRUE(wait_for_line(folder.file("log.txt"), "load_config: Unable to load config file"));
    EXPECT_TRUE(wait_for_line(folder.file("log.txt"), "Serial - Unable to open serial port ()"));
    tcp_client client;
    ASSERT_TRUE(wait_until([&] { return count_lines_containing(folder.file("log.txt"), "Connection from:") > 0; }));
    client.send_bytes(control_message(0, 10, 10));
    EXPECT_EQ(client.receive(21).size(), 21u);
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Controller -  - Starting thread"), 0);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Serial - Stop Complete"), 1);
}

TEST(BusIntegration, KillingTheSimulatorLeavesTheProgramResponsiveWithoutABusyLoop)
{
    bus_rig rig;
    ASSERT_TRUE(rig.wait_for_commands(5));
    rig.sim->signal(SIGKILL);
    EXPECT_EQ(rig.sim->wait(), 128 + SIGKILL);
    std::string hung_up = "Serial - Port hung up (" + rig.port() + ")";
    ASSERT_TRUE(wait_for_line(rig.log_path(), hung_up));
    double cpu_before = cpu_seconds(rig.program->pid());
    std::this_thread::sleep_for(std::chrono::seconds(4));
    double cpu = cpu_seconds(rig.program->pid()) - cpu_before;
    EXPECT_LT(cpu, 0.4) << "quillon used " << cpu << " s of CPU in 4 s after the hang-up";
    // Reported once; then the port is closed and tried again once per 2-second cycle, quietly. (A freed
    // terminal number may be another program's by the next try, so a second loss is possible.)
    EXPECT_GE(count_lines_containing(rig.log_path(), "Serial - Connection lost"), 1);
    EXPECT_LE(count_lines_containing(rig.log_path(), hung_up), 2);
    EXPECT_LE(count_lines_containing(rig.log_path(), "Serial - Unable to open serial port (" + rig.port() + ")"), 1);
    EXPECT_LE(count_lines_containing(rig.log_path(), "Serial - Write failed"), 1);

    auto client = rig.connect_operator();
    client->send_bytes(control_message(0, 20, 20));
    EXPECT_EQ(client->receive(21).size(), 21u);
    client->close();
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.shut_down(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
    EXPECT_EQ(count_lines_containing(rig.log_path(), "Serial - Stop Complete"), 1);
}

// The adapter's stable name is a link; the board behind it goes (the sim ends, its pseudo-terminal
// vanishes) and another one appears behind the same link: quillon takes it up with no restart.
TEST(BusIntegration, ABoardThatVanishesAndReturnsBehindItsLinkGetsCommandsAgain)
{
    temp_folder folder;
    auto start_sim = [&](const std::string& name) {
        std::string place = folder.file(name);
        mkdir(place.c_str(), 0700);
        auto sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", place,
                                                                      "--record", place + "/bus.rec", "--quiet"},
                                             place);
        std::string config;
        EXPECT_TRUE(wait_until([&] { return (config = read_file(place + "/config.txt")).find("serial_port pts/") == 0; }));
        return std::make_pair(std::move(sim), "/dev/" + config.substr(12, config.find('\n') - 12));
    };
    auto point_link = [&](const std::string& link, const std::string& target) {
        std::string fresh = link + ".new";  // a rename replaces the link in one step, as udev does
        std::remove(fresh.c_str());
        ASSERT_EQ(symlink(target.c_str(), fresh.c_str()), 0);
        ASSERT_EQ(std::rename(fresh.c_str(), link.c_str()), 0);
    };
    std::string link = folder.file("usb-Quillon_Sim_Board_0001-if00-port0");
    auto [first, first_port] = start_sim("first");
    point_link(link, first_port);
    folder.write("config.txt", "serial_port " + link + "\n");
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_until([&] { return commands_of(read_record(folder.file("first/bus.rec"))).size() >= 3; }))
        << read_file(log);

    // Unplugged: the board goes, and its link with it, as udev removes a by-id link (the freed terminal
    // number may soon be another program's).
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(), 0);
    std::remove(link.c_str());
    ASSERT_TRUE(wait_for_line(log, "Serial - Connection lost"));
    auto [second, second_port] = start_sim("second");
    point_link(link, second_port);
    ASSERT_TRUE(wait_for_line(log, "Serial - Reconnected", std::chrono::seconds(5)));
    EXPECT_TRUE(wait_until([&] { return commands_of(read_record(folder.file("second/bus.rec"))).size() >= 3; }))
        << "the new board receives commands";

    std::vector<std::string> lines = read_lines(log);
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_LT(at("Serial - Connection lost"), at("Serial - Reconnected"));
    EXPECT_LE(count_lines_containing(log, "Serial - Unable to open serial port (" + link + ")"), 1);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

TEST(BusIntegration, SimulatorHelpNamesItsOptionsAndFaults)
{
    temp_folder folder;
    process help({sim_binary(), "--help"}, folder.path());
    EXPECT_EQ(help.wait(), 0);
    for (const char* text : {"--baud-pace", "--record", "--fault", "--write-config", "--control", "bad-checksum",
                             "garbage", "short-length", "short-payload", "unknown-device", "quit"})
        EXPECT_NE(help.output().find(text), std::string::npos) << text;
    process wrong({sim_binary(), "--fault", "no-such-fault@1"}, folder.path());
    EXPECT_EQ(wrong.wait(), 2);
    EXPECT_NE(wrong.errors().find("unknown fault"), std::string::npos);
}

TEST(BusIntegration, TheSimulatorEndsCleanlyOnSigtermAndOnQuit)
{
    temp_folder folder;
    process first({sim_binary(), "--control", folder.file("c1"), "--quiet"}, folder.path());
    ASSERT_TRUE(wait_until([&] { return first.output().find("serial_port pts/") == 0; }));
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    EXPECT_NE(access(folder.file("c1").c_str(), F_OK), 0) << "the FIFO it made is left behind";

    process second({sim_binary(), "--control", folder.file("c2"), "--quiet"}, folder.path());
    ASSERT_TRUE(wait_until([&] { return second.output().find("serial_port pts/") == 0; }));
    int fd = open(folder.file("c2").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "quit\n", 5), 5);
    close(fd);
    EXPECT_EQ(second.wait(), 0);
}

TEST(BusWindow, TheBoardsTelemetryMovesTheAnalogBarsAndTheSerialRate)
{
    virtual_display display;
    if (!display.ready())
        GTEST_SKIP() << "Xvfb is not installed";
    // Facing the east wall 0.8 m away: both sensors, 30 degrees to either side, read 0.484 of full scale.
    bus_rig rig({"--pose", "3.2,2.0,0"}, {}, {display.environment()});
    std::string id;
    ASSERT_TRUE(wait_until([&] {
        id = display.run("xdotool search --name '^Quillon$'");
        return !id.empty();
    }));
    id = id.substr(0, id.find('\n'));
    std::string geometry = display.run("xdotool getwindowgeometry " + id);
    int left = 0, top = 0;
    ASSERT_EQ(std::sscanf(geometry.c_str() + geometry.find("Position: "), "Position: %d,%d", &left, &top), 2)
        << geometry;
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the 0.5 s filter settles, the rate is rolled

    screen_image running;
    ASSERT_TRUE(running.grab(display, rig.folder.file("running.rgb")));
    // Analog bars 0 and 1 span y 20 to 120 at x 260 and 320: 48 or 49 of their 100 pixels blue.
    for (int bar_x : {260 + 17, 320 + 17}) {
        int blue = running.blue_in_column(left + bar_x, top + 20, 100);
        EXPECT_GE(blue, 47) << "bar at x " << bar_x;
        EXPECT_LE(blue, 50) << "bar at x " << bar_x;
    }
    EXPECT_EQ(running.blue_in_column(left + 380 + 17, top + 20, 100), 0);  // channel 2 has no sensor

    rig.tell("telemetry off");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    screen_image silent;
    ASSERT_TRUE(silent.grab(display, rig.folder.file("silent.rgb")));
    // "Serial Rate %3.0f " at (1, 1): the count of the last second has changed to 0.
    EXPECT_NE(running.area(left, top, 150, 18), silent.area(left, top, 150, 18));
    // The filtered values hold without new packets.
    EXPECT_GE(silent.blue_in_column(left + 277, top + 20, 100), 47);
    EXPECT_EQ(rig.shut_down(), 0);
}

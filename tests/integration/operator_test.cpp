// The operator client against the real program: one scripted message, round-trip figures, driving from a
// real pseudo-terminal, failures, and installing the programs with the systemd unit.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

using namespace integration;

namespace {

// quillon-operator on the slave side of a pseudo-terminal, as a person would run it. The test keeps the
// slave open to read the terminal's mode after the program has gone, and drains the master all the time
// so that the program never blocks on its output.
class terminal_run {
public:
    explicit terminal_run(const std::vector<std::string>& extra_arguments)
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            return;
        tcgetattr(slave, &initial);
        child = fork();
        if (child == 0)
            become_operator(extra_arguments);
        reader = std::thread([this] { drain(); });
    }
    ~terminal_run()
    {
        if (child > 0 && !ended) {
            kill(child, SIGKILL);
            wait(std::chrono::seconds(5));
        }
        stop = true;
        if (reader.joinable())
            reader.join();
        close(master);
        close(slave);
    }
    void type(const std::string& keys) { EXPECT_EQ(write(master, keys.data(), keys.size()), (ssize_t)keys.size()); }
    void signal(int number) { kill(child, number); }
    std::string output()
    {
        std::lock_guard<std::mutex> hold(output_lock);
        return screen;
    }
    bool shows(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        return wait_until([&] { return output().find(text) != std::string::npos; }, limit);
    }
    // The exit code, 128 + signal, or -1 on time-out.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        if (!wait_until([this] { return ended || (ended = waitpid(child, &status, WNOHANG) == child); }, limit))
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    termios mode_now()
    {
        termios now{};
        tcgetattr(slave, &now);
        return now;
    }
    bool mode_restored()
    {
        termios now = mode_now();
        return now.c_lflag == initial.c_lflag && now.c_iflag == initial.c_iflag &&
               now.c_cc[VMIN] == initial.c_cc[VMIN] && now.c_cc[VTIME] == initial.c_cc[VTIME];
    }

private:
    [[noreturn]] void become_operator(const std::vector<std::string>& extra_arguments)
    {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        std::vector<std::string> arguments{operator_binary()};
        arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
        std::vector<char*> argv;
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    void drain()
    {
        while (!stop) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            std::lock_guard<std::mutex> hold(output_lock);
            screen.append(buffer, static_cast<size_t>(n));
        }
    }

    int master = -1;
    int slave = -1;
    termios initial{};
    pid_t child = -1;
    int status = 0;
    bool ended = false;
    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex output_lock;
    std::string screen;
};

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A port on loopback where nothing listens: one the system just handed out and took back.
int unused_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// True once the link has let in exactly this many clients and seen each of them leave, none refused.
bool clients_came_and_went(const temp_folder& folder, int clients)
{
    std::string log = folder.file("log.txt");
    return wait_until([&] {
        return count_lines_containing(log, "Connection from: 127.0.0.1") == clients &&
               count_lines_containing(log, "Client disconnect") == clients &&
               count_lines_containing(log, "Another client attempted to connect") == 0;
    });
}

const std::regex telemetry_line("90 ff 00 ff( [0-9a-f]{2}){17}");

double figure(const std::string& output, const std::string& name)
{
    std::smatch found;
    std::regex pattern(name + ": ([0-9.]+) us");
    if (!std::regex_search(output, found, pattern))
        return -1;
    return std::stod(found[1]);
}

} // namespace

TEST(Operator, SendPrintsOneTelemetryReplyPerMessageInHex)
{
    temp_folder folder;
    auto quillon = start_quillon(folder);

    process single({operator_binary(), "--send", "3000034040808000"}, folder.path());
    EXPECT_EQ(single.wait(), 0) << single.errors();
    auto lines = split_lines(single.output());
    ASSERT_EQ(lines.size(), 1u) << single.output();
    EXPECT_TRUE(std::regex_match(lines[0], telemetry_line)) << lines[0];

    // A control message, an image request and a stray byte: two replies, in order.
    process mixed({operator_binary(), "--host", "127.0.0.1", "--port", "32459", "--send",
                   "30 00 00 3b 25 80 80 00 60 41"},
                  folder.path());
    EXPECT_EQ(mixed.wait(), 0) << mixed.errors();
    lines = split_lines(mixed.output());
    ASSERT_EQ(lines.size(), 2u) << mixed.output();
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, telemetry_line)) << line;

    // Each run was a client of its own that left, so the next one was let in.
    EXPECT_TRUE(clients_came_and_went(folder, 2));
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Another client attempted to connect"), 0);
}

TEST(Operator, BenchPrintsTheMedianAndThe99thPercentile)
{
    temp_folder folder;
    auto quillon = start_quillon(folder);
    ASSERT_TRUE(quillon->running());
    process bench({operator_binary(), "--bench", "50"}, folder.path());
    ASSERT_EQ(bench.wait(std::chrono::seconds(30)), 0) << bench.errors();
    std::string output = bench.output();
    EXPECT_NE(output.find("round trips: 50\n"), std::string::npos) << output;
    double median = figure(output, "median");
    double high = figure(output, "99th percentile");
    EXPECT_GT(median, 0) << output;
    EXPECT_GE(high, median) << output;
}

TEST(Operator, RefusedConnectionAndBadCommandLinesFailWithAClearMessage)
{
    temp_folder folder;
    int port = unused_port();
    for (std::vector<std::string> mode : {std::vector<std::string>{"--send", "60"}, {"--bench", "5"}}) {
        process refused({operator_binary(), "--port", std::to_string(port), mode[0], mode[1]}, folder.path());
        EXPECT_EQ(refused.wait(), 1);
        EXPECT_NE(refused.errors().find("cannot connect to localhost:" + std::to_string(port) + ": Connection refused"),
                  std::string::npos)
            << refused.errors();
        EXPECT_EQ(refused.output(), "");
    }

    struct case_type {
        std::vector<std::string> arguments;
        std::string complaint;
    };
    std::vector<case_type> cases = {
        {{"--send", "3g"}, "--send needs the message as hex bytes"},
        {{"--send", "30 00 03 40"}, "cut short"},
        {{"--rate", "1"}, "--rate needs messages per second from 2 to 1000"},
        {{"--port", "70000"}, "--port needs a number from 1 to 65535"},
        {{"--bench", "0"}, "--bench needs a number of round trips"},
        {{"--send", "60", "--bench", "3"}, "choose one of --send, --bench and --snapshot"},
        {{"--port"}, "--port needs a value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
    };
    for (const case_type& bad : cases) {
        std::vector<std::string> arguments{operator_binary()};
        arguments.insert(arguments.end(), bad.arguments.begin(), bad.arguments.end());
        process refused(arguments, folder.path());
        EXPECT_EQ(refused.wait(), 2) << bad.arguments[0];
        EXPECT_NE(refused.errors().find(bad.complaint), std::string::npos) << refused.errors();
    }

    process help({operator_binary(), "--help"}, folder.path());
    EXPECT_EQ(help.wait(), 0);
    for (const char* option : {"--bench N", "--snapshot FILE", "--send, --bench or --snapshot"})
        EXPECT_NE(help.output().find(option), std::string::npos) << option;
}

TEST(Operator, DrivesFromATerminalShowsTelemetryAndPutsTheTerminalBackOnEveryWayOut)
{
    temp_folder folder;
    auto quillon = start_quillon(folder);
    ASSERT_TRUE(quillon->running());

    struct ending_type {
        std::string name;
        std::function<void(terminal_run&)> act;
        int exit_code;
    };
    std::vector<ending_type> endings = {
        {"Q after driving for a while", [](terminal_run& run) {
             std::this_thread::sleep_for(std::chrono::milliseconds(1500));
             run.type("q");
         }, 0},
        {"Esc after an arrow key", [](terminal_run& run) {
             run.type("\033[A");  // an arrow key is not Esc: the client must keep running
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             EXPECT_EQ(run.wait(std::chrono::milliseconds(1)), -1);
             run.type("\033");
         }, 0},
        {"Ctrl-C", [](terminal_run& run) { run.type("\003"); }, 0},
        {"SIGTERM", [](terminal_run& run) { run.signal(SIGTERM); }, 128 + SIGTERM},
    };
    int connections = 0;
    for (ending_type& ending : endings) {
        SCOPED_TRACE(ending.name);
        terminal_run run({});
        ASSERT_TRUE(run.shows("telemetry ff 00 ff")) << run.output();
        EXPECT_FALSE(run.mode_now().c_lflag & ECHO);
        run.type("w");
        EXPECT_TRUE(run.shows("forward  L+ 59 R+ 37 |")) << run.output();
        run.type("a");
        EXPECT_TRUE(run.shows("left     L- 35 R+ 35 |")) << run.output();
        EXPECT_TRUE(std::regex_search(run.output(), std::regex("rtt +[0-9]+ us"))) << run.output();
        ending.act(run);
        EXPECT_EQ(run.wait(), ending.exit_code) << run.output();
        EXPECT_TRUE(run.mode_restored());
        ASSERT_TRUE(clients_came_and_went(folder, ++connections));
    }
    // It kept the link fed: at 10 messages a second the one-second silence rule never fired.
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Client data Timeout"), 0);
}

namespace {

// The motor bytes (left, right) of the newest controller command in the simulator's record.
std::optional<std::pair<int, int>> newest_motor_command(const std::string& record)
{
    std::optional<std::pair<int, int>> found;
    for (const std::string& line : read_lines(record)) {
        std::istringstream fields(line);
        std::string seconds, device, length, left, left_again, right;
        fields >> seconds >> device >> length >> left >> left_again >> right;
        if (device == "01" && length == "08" && !right.empty())
            found = std::make_pair(std::stoi(left, nullptr, 16), std::stoi(right, nullptr, 16));
    }
    return found;
}

} // namespace

TEST(Operator, KeysInTheTerminalDriveTheMotorsOfTheSimulatedRobot)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    temp_folder folder;
    std::string record = folder.file("bus.txt");
    process sim({sim_binary(), "--write-config", folder.path(), "--record", record, "--no-stdin", "--quiet",
                 "--camera-rate", "0"},
                folder.path());
    ASSERT_TRUE(wait_until([&] { return access(folder.file("config.txt").c_str(), R_OK) == 0; }));
    auto quillon = start_quillon(folder);
    ASSERT_TRUE(quillon->running());
    terminal_run run({});
    ASSERT_TRUE(run.shows("telemetry ff 00 ff")) << run.output();

    auto motors_show = [&](auto condition) {
        return wait_until([&] {
            auto motors = newest_motor_command(record);
            return motors && condition(motors->first, motors->second);
        });
    };
    run.type("w");  // forward: the left byte falls below 0x80, the right one rises above it
    EXPECT_TRUE(motors_show([](int left, int right) { return left < 0x80 - 20 && right > 0x80 + 10; }));
    run.type("s");
    EXPECT_TRUE(motors_show([](int left, int right) { return left > 0x80 + 10 && right < 0x80 - 20; }));
    run.type(" ");
    EXPECT_TRUE(motors_show([](int left, int right) { return left == 0x80 && right == 0x80; }));
    run.type("d");  // on the spot to the right: left forward and right backward put both bytes below 0x80
    EXPECT_TRUE(motors_show([](int left, int right) { return left < 0x80 - 10 && right < 0x80 - 10; }));
    run.type("q");
    EXPECT_EQ(run.wait(), 0);
    EXPECT_TRUE(motors_show([](int left, int right) { return left == 0x80 && right == 0x80; }));
}

TEST(Operator, LostConnectionWhileDrivingEndsWithAClearMessageAndTheTerminalBack)
{
    temp_folder folder;
    auto quillon = start_quillon(folder);
    ASSERT_TRUE(quillon->running());
    terminal_run run({});
    ASSERT_TRUE(run.shows("telemetry ff 00 ff")) << run.output();
    quillon->signal(SIGTERM);
    EXPECT_EQ(run.wait(), 1) << run.output();
    EXPECT_NE(run.output().find("quillon-operator: connection to localhost:32459 lost"), std::string::npos)
        << run.output();
    EXPECT_TRUE(run.mode_restored());
}

TEST(Operator, DrivingWithoutATerminalIsRefused)
{
    temp_folder folder;
    process piped({operator_binary(), "--port", std::to_string(unused_port())}, folder.path());
    EXPECT_EQ(piped.wait(), 1);
    EXPECT_NE(piped.errors().find("driving needs a terminal"), std::string::npos) << piped.errors();
}

TEST(Install, PutsTheThreeProgramsAndTheSystemdUnitInPlace)
{
    temp_folder prefix;
    std::string build = std::filesystem::path(quillon_binary()).parent_path().string();
    std::string command = "cmake --install '" + build + "' --prefix '" + prefix.path() + "' > '" +
                          prefix.file("install.log") + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << read_file(prefix.file("install.log"));
    for (const char* program : {"quillon", "quillon-sim", "quillon-operator"}) {
        std::string path = prefix.file(std::string("bin/") + program);
        EXPECT_EQ(access(path.c_str(), X_OK), 0) << path;
    }
    std::string unit_path = prefix.file("lib/systemd/system/quillon.service");
    std::string unit = read_file(unit_path);
    for (const char* setting : {"ExecStart=quillon --headless\n", "WorkingDirectory=/var/lib/quillon\n",
                                "Restart=on-failure\n", "KillSignal=SIGTERM\n", "SupplementaryGroups=dialout\n",
                                "LimitNOFILE=65536\n", "WantedBy=multi-user.target\n"})
        EXPECT_NE(unit.find(setting), std::string::npos) << setting;

    // systemd itself checks the unit, pointed at the installed program.
    if (access("/usr/bin/systemd-analyze", X_OK) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    std::string checked = prefix.file("quillon.service");
    std::string absolute = std::regex_replace(unit, std::regex("ExecStart=quillon"),
                                              "ExecStart=" + prefix.file("bin/quillon"));
    prefix.write("quillon.service", absolute);
    command = "systemd-analyze verify '" + checked + "' > '" + prefix.file("verify.log") + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << read_file(prefix.file("verify.log"));
}

// The Debian package made by CPack: the three programs, the unit, and dependencies found in the programs.
// A sanitizer build's programs are no package's: the test is for the optimised build.
TEST(Install, DebianPackageHoldsTheProgramsTheUnitAndTheirDependencies)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "packages are made from the optimised build";
#endif
    if (access("/usr/bin/cpack", X_OK) != 0 || access("/usr/bin/dpkg-shlibdeps", X_OK) != 0)
        GTEST_SKIP() << "cpack or dpkg-shlibdeps (dpkg-dev) is not installed";
    temp_folder out;
    std::string build = std::filesystem::path(quillon_binary()).parent_path().string();
    std::string command = "cd '" + build + "' && cpack -G DEB -B '" + out.path() + "' > '" + out.file("cpack.log") +
                          "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << read_file(out.file("cpack.log"));
    std::string package;
    for (const auto& entry : std::filesystem::directory_iterator(out.path()))
        if (std::regex_match(entry.path().filename().string(), std::regex(R"(quillon_\d+\.\d+\.\d+_amd64\.deb)")))
            package = entry.path().string();
    ASSERT_FALSE(package.empty()) << read_file(out.file("cpack.log"));
    std::string name = std::filesystem::path(package).filename().string();
    EXPECT_NE(read_file(source_dir() + "/README.md").find("apt install ./" + name), std::string::npos)
        << "the README installs another file than " << name;

    command = "dpkg-deb -c '" + package + "' > '" + out.file("contents.txt") + "' && dpkg-deb -f '" + package +
              "' Depends > '" + out.file("depends.txt") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string contents = read_file(out.file("contents.txt"));
    for (const char* path : {"./usr/bin/quillon\n", "./usr/bin/quillon-sim\n", "./usr/bin/quillon-operator\n",
                             "./usr/lib/systemd/system/quillon.service\n"})
        EXPECT_NE(contents.find(path), std::string::npos) << path << " not in\n" << contents;
    std::string depends = read_file(out.file("depends.txt"));
    for (const char* library : {"libc6", "libsdl2", "libjpeg62-turbo", "fonts-dejavu-core"})
        EXPECT_NE(depends.find(library), std::string::npos) << library << " not in " << depends;
}

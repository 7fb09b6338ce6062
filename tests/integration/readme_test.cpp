// The README kept honest: every command it shows is run by a test or by scripts/test, its hex examples are
// checked against the real programs and their checksums, and the names it gives (presets, benchmarks,
// log lines) are the tree's own. Everything is read from README.md itself, so a wrong guide fails here.
#include "integration_support.h"
#include "sim_record_support.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace integration;

namespace {

// Who runs each command the README shows: a test of this binary (suite.name), or scripts/test, which
// must then contain the evidence text.
struct coverage_type {
    std::string covered_by;
    std::string evidence;  // for scripts/test: the text in the script that runs the command
};

const std::string install_test = "ReadmeGuide.InstallingAndRunningOnARobotWorksAsWritten";
const std::string demo_test = "Demo.ScriptRunsTheSimulatedRobotTheOperatorDrivesItAndCtrlCStopsEverything";
const std::string package_test = "Install.DebianPackageHoldsTheProgramsTheUnitAndTheirDependencies";
const std::string drive_test = "Operator.DrivesFromATerminalShowsTelemetryAndPutsTheTerminalBackOnEveryWayOut";

const std::map<std::string, coverage_type> covered = {
    {"scripts/demo", {demo_test, ""}},
    {"scripts/install-deps --run", {demo_test, ""}},  // what scripts/demo runs first
    {"scripts/install-deps", {"scripts/test", "scripts/install-deps"}},
    {"scripts/test", {"scripts/test", ""}},  // the run of everything itself
    {"quillon --headless", {install_test, ""}},
    {"cmake --install build/default", {install_test, ""}},
    {"sudo cmake --install build/default --prefix /usr/local", {install_test, ""}},
    {"sudo mkdir -p /var/lib/quillon && sudo cp config.txt /var/lib/quillon/", {install_test, ""}},
    // Enabling needs a booted systemd; that test has systemd-analyze verify the unit instead.
    {"sudo systemctl daemon-reload && sudo systemctl enable --now quillon",
     {"Install.PutsTheThreeProgramsAndTheSystemdUnitInPlace", ""}},
    // Changing a user's groups is the reader's job; that test checks the group the README names exists.
    {"sudo usermod -aG dialout $USER", {install_test, ""}},
    // The package test makes the package and checks what it installs and needs; installing it for real
    // would change the machine the tests run on.
    {"cd build/default && cpack -G DEB", {package_test, ""}},
    {"sudo apt install ./quillon_0.1.0_amd64.deb", {package_test, ""}},
    {"quillon-operator [--host H]", {drive_test, ""}},
    {"quillon-operator --send \"30 00 00 40 40 80 80 00\"", {"ReadmeGuide.TheOperatorExampleGivesTheReplyItShows", ""}},
    {"quillon-operator --bench 1000", {demo_test, ""}},
    {"quillon-operator --snapshot FILE", {"CapturePipeline.EachRequestGetsItsReplyAtOnceAndAtMostOneImage", ""}},
    {"scripts/fuzz [SECONDS]", {"scripts/test", "scripts/fuzz"}},
    {"cmake --preset default|debug|asan|tsan", {"scripts/test", "cmake --preset"}},
    {"cmake --build --preset NAME", {"scripts/test", "cmake --build --preset"}},
    {"ctest --preset NAME", {"scripts/test", "ctest --preset"}},
    // The Windows build: scripts/test runs these; the wine preset's windows.package test runs the packager.
    {"scripts/windows-deps", {"scripts/test", "scripts/windows-deps"}},
    {"cmake --preset windows && cmake --build --preset windows", {"scripts/test", "cmake --build --preset windows"}},
    {"cmake --preset default -DQUILLON_WINDOWS_DIR=build/windows", {"scripts/test", "-DQUILLON_WINDOWS_DIR="}},
    {"cmake --build --preset default --target quillon_windows_tests",
     {"scripts/test", "cmake --build --preset default --target quillon_windows_tests"}},
    {"ctest --preset wine", {"scripts/test", "ctest --preset wine"}},
    {"scripts/package-windows", {"scripts/test", "ctest --preset wine"}},
    {"scripts/bench-windows", {"scripts/test", "scripts/bench-windows"}},
    // The arm64 build: scripts/test runs these; the cross preset's package test checks and unpacks the
    // package apt would install, and runs its quillon.
    {"scripts/build-arm64", {"scripts/test", "scripts/build-arm64"}},
    {"scripts/cross-root", {"scripts/test", "scripts/cross-root"}},
    {"sudo apt install ./quillon_0.1.0_arm64.deb", {"scripts/test", "ctest --preset cross"}},
    {"ctest --preset arm64", {"scripts/test", "ctest --preset arm64"}},
    {"cmake --preset default -DQUILLON_CROSS_DIR=build/arm64", {"scripts/test", "-DQUILLON_CROSS_DIR="}},
    {"cmake --build --preset default --target quillon_cross_tests",
     {"scripts/test", "cmake --build --preset default --target quillon_cross_tests"}},
    {"ctest --preset cross", {"scripts/test", "ctest --preset cross"}},
};

std::string readme()
{
    return read_file(source_dir() + "/README.md");
}

std::string squeeze(const std::string& text)
{
    std::string out = std::regex_replace(text, std::regex("\\s+"), " ");
    out = std::regex_replace(out, std::regex("^ | $"), "");
    return out;
}

struct code_block_type {
    std::string language;
    std::vector<std::string> lines;
};

std::vector<code_block_type> code_blocks(const std::string& text)
{
    std::vector<code_block_type> blocks;
    std::istringstream lines(text);
    bool inside = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("```", 0) == 0) {
            if (!inside)
                blocks.push_back({line.substr(3), {}});
            inside = !inside;
        } else if (inside) {
            blocks.back().lines.push_back(line);
        }
    }
    return blocks;
}

// The text outside the fenced blocks.
std::string prose(const std::string& text)
{
    return std::regex_replace(text, std::regex("```[^`]*```"), "");
}

std::vector<std::string> inline_code(const std::string& text)
{
    std::vector<std::string> spans;
    std::regex span("`([^`\n]+)`");
    for (std::sregex_iterator it(text.begin(), text.end(), span), end; it != end; ++it)
        spans.push_back((*it)[1]);
    return spans;
}

// The part of the README under the heading, up to the next heading of its level.
std::string section(const std::string& text, const std::string& heading)
{
    size_t start = text.find("\n## " + heading);
    if (start == std::string::npos)
        return "";
    size_t end = text.find("\n## ", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The commands the README shows: the lines of its sh blocks (comments dropped) and the inline code that
// starts with one of the programs.
std::set<std::string> readme_commands()
{
    std::set<std::string> commands;
    std::string text = readme();
    for (const code_block_type& block : code_blocks(text))
        if (block.language == "sh")
            for (const std::string& line : block.lines) {
                std::string command = squeeze(std::regex_replace(line, std::regex("\\s+#.*$"), ""));
                if (!command.empty())
                    commands.insert(command);
            }
    std::regex command_start("^(scripts/\\S+( .*)?|(quillon|quillon-operator|quillon-sim|cmake|ctest|sudo) .*)$");
    for (const std::string& span : inline_code(prose(text)))
        if (std::regex_match(span, command_start))
            commands.insert(squeeze(span));
    return commands;
}

bool test_exists(const std::string& full_name)
{
    const auto* unit = ::testing::UnitTest::GetInstance();
    for (int i = 0; i < unit->total_test_suite_count(); i++) {
        const auto* suite = unit->GetTestSuite(i);
        for (int j = 0; j < suite->total_test_count(); j++)
            if (std::string(suite->name()) + "." + suite->GetTestInfo(j)->name() == full_name)
                return true;
    }
    return false;
}

std::vector<unsigned char> hex_bytes(const std::string& text)
{
    std::vector<unsigned char> bytes;
    std::istringstream words(text);
    for (std::string word; words >> word;)
        bytes.push_back(static_cast<unsigned char>(std::stoul(word, nullptr, 16)));
    return bytes;
}

std::string lower_hex(const std::string& text)
{
    std::string out = squeeze(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The README's config.txt example, pointed at another port.
std::string config_example(const std::string& port)
{
    for (const code_block_type& block : code_blocks(readme()))
        if (!block.lines.empty() && block.lines[0] == "# config.txt") {
            std::string text;
            for (const std::string& line : block.lines)
                text += std::regex_replace(line, std::regex("^serial_port \\S+"), "serial_port " + port) + "\n";
            return text;
        }
    return "";
}

unsigned char checksum(const std::vector<unsigned char>& bytes, size_t count)
{
    unsigned int sum = 0;
    for (size_t i = 0; i < count; i++)
        sum += bytes[i];
    return static_cast<unsigned char>(sum & 0xFF);
}

} // namespace

TEST(ReadmeGuide, EveryCommandItShowsIsRunByATestOrByScriptsTest)
{
    std::set<std::string> commands = readme_commands();
    ASSERT_GE(commands.size(), 10u) << "the README's commands were not found";
    std::string script = read_file(source_dir() + "/scripts/test");
    ASSERT_FALSE(script.empty());
    for (const std::string& command : commands) {
        auto entry = covered.find(command);
        if (entry == covered.end()) {
            ADD_FAILURE() << "the README shows a command no test runs: " << command;
            continue;
        }
        const coverage_type& coverage = entry->second;
        if (coverage.covered_by == "scripts/test")
            EXPECT_NE(script.find(coverage.evidence), std::string::npos) << "scripts/test does not run " << command;
        else
            EXPECT_TRUE(test_exists(coverage.covered_by)) << command << ": no test " << coverage.covered_by;
    }
    for (const auto& [command, coverage] : covered)
        EXPECT_EQ(commands.count(command), 1u) << "the README no longer shows: " << command;
}

TEST(ReadmeGuide, ThePresetsAndBenchmarksItNamesAreTheTreesOwn)
{
    std::string text = readme();
    std::smatch presets;
    ASSERT_TRUE(std::regex_search(text, presets, std::regex("`cmake --preset ([a-z|]+)`")));
    std::string json = read_file(source_dir() + "/CMakePresets.json");
    std::istringstream names(presets[1].str());
    for (std::string name; std::getline(names, name, '|');) {
        // A configure, a build and a test preset of that name.
        std::regex named("\"name\": \"" + name + "\"");
        auto count = std::distance(std::sregex_iterator(json.begin(), json.end(), named), std::sregex_iterator());
        EXPECT_EQ(count, 3) << "preset " << name;
    }

    std::string benchmarks = section(text, "Tests and benchmarks");
    std::set<std::string> named;
    for (const std::string& span : inline_code(benchmarks))
        if (std::regex_match(span, std::regex("[a-z]+_bench")))
            named.insert(span);
    std::set<std::string> built;
    for (const auto& entry : std::filesystem::directory_iterator(source_dir() + "/bench"))
        if (entry.path().extension() == ".cpp" && entry.path().stem().string().ends_with("_bench"))
            built.insert(entry.path().stem().string());
    EXPECT_FALSE(built.empty());
    EXPECT_EQ(named, built) << "the README's benchmarks and bench/ differ";
}

TEST(ReadmeGuide, TheOperatorExampleGivesTheReplyItShows)
{
    std::smatch exchange;
    std::string text = readme();
    ASSERT_TRUE(std::regex_search(text, exchange, std::regex("client: ([0-9A-F ]+)\nserver: ([0-9A-F ]+)\n")));
    std::vector<unsigned char> request = hex_bytes(exchange[1]);
    ASSERT_EQ(request.size(), 8u);
    EXPECT_EQ(request[0], 0x30);
    std::smatch speed;
    ASSERT_TRUE(std::regex_search(text, speed, std::regex("driving\\s+both\\s+sides\\s+forward\\s+at\\s+(\\d+)")));
    EXPECT_EQ(request[2], 0x00) << "both sides forward: no reverse flag";
    EXPECT_EQ(request[3], std::stoi(speed[1]));
    EXPECT_EQ(request[4], std::stoi(speed[1]));
    EXPECT_EQ(hex_bytes(exchange[2]).size(), 21u) << "a telemetry reply has 21 bytes";

    // The example exchange and the inline --send command, against the real program.
    std::set<std::string> sent{squeeze(exchange[1])};
    std::regex send_command("quillon-operator --send \"([0-9A-Fa-f ]+)\"");
    for (std::sregex_iterator it(text.begin(), text.end(), send_command), end; it != end; ++it)
        sent.insert((*it)[1]);
    temp_folder folder;
    auto quillon = start_quillon(folder);
    ASSERT_TRUE(quillon->running());
    for (const std::string& message : sent) {
        process send({operator_binary(), "--send", message}, folder.path());
        EXPECT_EQ(send.wait(), 0) << send.errors();
        EXPECT_EQ(send.output(), lower_hex(exchange[2]) + "\n") << "reply to " << message;
    }
    quillon->signal(SIGTERM);
    EXPECT_EQ(quillon->wait(), 0);
}

TEST(ReadmeGuide, TheBusExamplesHaveCorrectChecksumsAndLayouts)
{
    std::string text = section(readme(), "The bus protocol (for people building boards)");
    ASSERT_FALSE(text.empty());
    std::vector<std::vector<unsigned char>> packets;
    for (const std::string& span : inline_code(text))
        if (std::regex_match(span, std::regex("[0-9A-Fa-f]{2}( [0-9A-Fa-f]{2}){3,}")))
            packets.push_back(hex_bytes(span));
    ASSERT_GE(packets.size(), 2u) << "the bus examples were not found";
    for (const auto& packet : packets) {
        EXPECT_EQ(packet.back(), checksum(packet, packet.size() - 1)) << "example of " << packet.size() << " bytes";
        bool from_device = static_cast<size_t>(packet[0]) == packet.size();
        bool to_device = static_cast<size_t>(packet[1]) == packet.size() - 3;
        EXPECT_TRUE(from_device || to_device) << "neither layout fits an example of " << packet.size() << " bytes";
    }

    // The board telemetry example against the channels the README names.
    std::smatch channels;
    std::regex example("channels\\s+0x([0-9A-Fa-f]+)\\s+and\\s+0x([0-9A-Fa-f]+),\\s+`([0-9A-F ]+)`");
    ASSERT_TRUE(std::regex_search(text, channels, example));
    std::vector<unsigned char> telemetry = hex_bytes(channels[3]);
    ASSERT_EQ(telemetry.size(), 6u);
    EXPECT_EQ(telemetry[1], 1) << "the controller board is device 1";
    int channel0 = telemetry[2] | (telemetry[4] & 0x0F) << 8;
    int channel1 = telemetry[3] | (telemetry[4] >> 4) << 8;
    EXPECT_EQ(channel0, std::stoi(channels[1], nullptr, 16));
    EXPECT_EQ(channel1, std::stoi(channels[2], nullptr, 16));
}

// The robot set-up of the README, run as written with the paths moved into a temporary folder: install
// with a prefix, copy config.txt (the README's example, its port replaced by a simulated board's), and the
// installed quillon --headless opens the port and sends the board the neutral command the README shows.
TEST(ReadmeGuide, InstallingAndRunningOnARobotWorksAsWritten)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    EXPECT_NE(getgrnam("dialout"), nullptr) << "the README's serial port group";
    temp_folder root;
    process sim({sim_binary(), "--record", root.file("bus.txt"), "--no-stdin", "--quiet"}, root.path());
    std::string port;
    ASSERT_TRUE(wait_until([&] { return !(port = sim.output()).empty() && port.back() == '\n'; })) << sim.errors();
    ASSERT_EQ(port.rfind("serial_port pts/", 0), 0u) << port;
    port = squeeze(port.substr(12));
    std::string config = config_example(port);
    ASSERT_NE(config.find("serial_port " + port + " "), std::string::npos) << config;
    root.write("config.txt", config);

    std::string build = std::filesystem::path(quillon_binary()).parent_path().string();
    for (const code_block_type& block : code_blocks(readme())) {
        if (block.language != "sh")
            continue;
        for (std::string line : block.lines) {
            if (line.find("cmake --install") == std::string::npos && line.find("/var/lib/quillon") == std::string::npos)
                continue;
            line = std::regex_replace(line, std::regex("sudo "), "");
            line = std::regex_replace(line, std::regex("build/default"), "'" + build + "'");
            line = std::regex_replace(line, std::regex(" /(usr/local|var/lib/quillon)"), " '" + root.path() + "/$1'");
            std::string command = "cd '" + root.path() + "' && (" + line + ") >> install.log 2>&1";
            EXPECT_EQ(std::system(command.c_str()), 0) << line << "\n" << read_file(root.file("install.log"));
        }
    }
    std::string installed = root.file("usr/local/bin/quillon");
    ASSERT_EQ(access(installed.c_str(), X_OK), 0) << read_file(root.file("install.log"));
    EXPECT_EQ(access(root.file("usr/local/lib/systemd/system/quillon.service").c_str(), R_OK), 0);
    std::string working = root.file("var/lib/quillon");
    ASSERT_EQ(read_file(working + "/config.txt"), config);

    process quillon({installed, "--headless"}, working);
    std::string log = working + "/log.txt";
    EXPECT_TRUE(wait_for_line(log, "Serial - Online")) << read_file(log);
    std::smatch neutral;
    std::string bus = section(readme(), "The bus protocol (for people building boards)");
    std::regex example("neutral\\s+command\\s+as\\s+the\\s+server\\s+sends\\s+it,\\s+`([0-9A-F ]+)`");
    ASSERT_TRUE(std::regex_search(bus, neutral, example));
    EXPECT_TRUE(wait_until([&] {
        auto commands = read_board_commands(root.file("bus.txt"));
        return commands.size() >= 3 && commands.back().text() == neutral[1].str();
    })) << "the board did not receive the README's neutral command";
    quillon.signal(SIGTERM);
    EXPECT_EQ(quillon.wait(), 0);
}

TEST(ReadmeGuide, TheLogLinesItExplainsAreTheProgramsOwn)
{
    std::string table = section(readme(), "The log");
    std::vector<std::string> lines;
    std::istringstream rows(table);
    for (std::string row; std::getline(rows, row);)
        if (row.rfind("| `", 0) == 0)
            for (const std::string& span : inline_code(row.substr(0, row.find(" | ", 2))))
                lines.push_back(span);
    ASSERT_GE(lines.size(), 10u) << table;

    std::string sources;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(source_dir() + "/src"))
        if (entry.path().extension() == ".cpp")
            sources += read_file(entry.path().string());
    for (const std::string& line : lines) {
        // The line as a pattern for a format string: NAME, ADDRESS, N and .. stand for conversions; STOP is
        // the program's own word.
        std::string pattern = std::regex_replace(line, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
        pattern = std::regex_replace(pattern, std::regex("\\\\\\.\\\\\\.|\\b(?!STOP\\b)[A-Z]+\\b"), "%[-0-9.]*[a-z]+");
        EXPECT_TRUE(std::regex_search(sources, std::regex("\"" + pattern + "\""))) << "no log line \"" << line << "\"";
    }
}

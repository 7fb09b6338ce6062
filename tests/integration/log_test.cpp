// The log under the camera's load: its size limit from config.txt, the change of file with no line cut or
// lost, and the camera's hex dumps turned off.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace integration;

namespace {

std::unique_ptr<process> start_sim(const temp_folder& folder)
{
    auto sim = std::make_unique<process>(
        std::vector<std::string>{sim_binary(), "--write-config", folder.path(), "--no-stdin", "--quiet", "--camera-rate", "10"},
        folder.path());
    wait_until([&] { return std::filesystem::exists(folder.file("config.txt")) || !sim->running(); });
    return sim;
}

void add_config(const temp_folder& folder, const std::string& lines)
{
    std::ofstream(folder.file("config.txt"), std::ios::app) << lines;
}

// Each image's dumps, across both files in order, must carry exactly the bytes its size line announced:
// a line lost or cut where the file changed would break the sum. Returns the number of images checked.
int check_image_dumps(const std::vector<std::string>& lines)
{
    std::regex size_line(R"(Cam size: (\d+)$)");
    std::regex dump_line(R"(Cam data: \((\d+)\) ((?:[0-9a-f]{2} )*)$)");
    int announced = -1, received = 0, checked = 0;
    bool size_dump_next = false;
    for (const std::string& line : lines) {
        std::smatch parts;
        if (std::regex_search(line, parts, size_line)) {
            if (announced >= 0) {
                EXPECT_EQ(received, announced) << "before " << line;
                checked++;
            }
            announced = std::stoi(parts[1]);
            received = 0;
            size_dump_next = true;
        } else if (line.find("Cam data: ") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(line, parts, dump_line)) << "a cut dump: " << line;
            EXPECT_EQ(parts[2].length(), 3 * std::stoul(parts[1])) << line;
            if (!size_dump_next && announced >= 0)
                received += std::stoi(parts[1]);
            size_dump_next = false;
        }
    }
    return checked;
}

} // namespace

TEST(LogFile, ConfiguredLimitChangesFilesWithNoLineLostAndCameraDumpsCanBeTurnedOff)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    temp_folder folder;
    auto sim = start_sim(folder);
    ASSERT_TRUE(sim->running()) << sim->errors();
    add_config(folder, "log_size_limit 0.1   # a tenth of a megabyte\n");
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt"), old_log = folder.file("log.1.txt");
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(old_log) && count_lines_containing(log, "Cam size") >= 3; },
                           std::chrono::seconds(30)));
    program->signal(SIGTERM);
    ASSERT_EQ(program->wait(), 0);

    auto old_lines = read_lines(old_log);
    auto new_lines = read_lines(log);
    ASSERT_FALSE(new_lines.empty());
    EXPECT_NE(new_lines[0].find("] Log - Continued: the earlier lines are in log.1.txt"), std::string::npos) << new_lines[0];
    EXPECT_LE(std::filesystem::file_size(old_log), 104858u);
    std::regex stamped(R"(\[\d+\.\d{4}\] .*)");
    std::vector<std::string> both = old_lines;
    both.insert(both.end(), new_lines.begin(), new_lines.end());
    for (const std::string& line : both)
        ASSERT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_EQ(count_lines_containing(log, "Network - Stop"), 1) << "the shutdown's lines are all written";
    EXPECT_GE(check_image_dumps(both), 4);

    // The same camera with its dumps off: the images still come, the log holds no packet bytes.
    temp_folder quiet;
    auto quiet_sim = start_sim(quiet);
    add_config(quiet, "log_camera_data 0\n");
    auto quiet_program = start_quillon(quiet);
    std::string quiet_log = quiet.file("log.txt");
    EXPECT_TRUE(wait_until([&] { return count_lines_containing(quiet_log, "Image Complete") >= 3; }, std::chrono::seconds(30)));
    quiet_program->signal(SIGTERM);
    EXPECT_EQ(quiet_program->wait(), 0);
    EXPECT_EQ(count_lines_containing(quiet_log, "Cam data"), 0);
    EXPECT_FALSE(std::filesystem::exists(quiet.file("log.1.txt")));
}

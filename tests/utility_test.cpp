// The log, hex dumps, byte records and the checksum.
#include "services/log.h"
#include "services/utility.h"

#include "platform/files.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string temp_log(const char* name)
{
    std::string path = testing::TempDir() + std::to_string(getpid()) + "_" + name;
    log_restart(path.c_str());
    return path;
}

} // namespace

TEST(Log, FirstLineIsAtZeroAndLaterLinesCountSecondsSinceIt)
{
    std::string path = temp_log("log_times.txt");
    log_write("first %d", 1);
    log_write("second");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[0.0000] first 1");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[0\.\d{4}\] second)"))) << lines[1];
}

TEST(Log, TextEndingInNewlineLeavesAnEmptyLine)
{
    std::string path = temp_log("log_newline.txt");
    log_write("%s", "ends\n");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "");
}

TEST(Log, AfterStopNothingIsWrittenAndTheFileIsNotTruncated)
{
    std::string path = temp_log("log_stop.txt");
    log_write("kept");
    log_stop();
    log_write("dropped");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("kept"), std::string::npos);
}

TEST(Log, UnwritableFileIsSilentlyIgnored)
{
    log_restart("/nonexistent-directory/log.txt");
    log_write("nowhere to go");  // must not crash
    SUCCEED();
}

TEST(Log, LinesFromManyThreadsNeverInterleave)
{
    std::string path = temp_log("log_threads.txt");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; i++)
                log_write("thread %d line %d %s", t, i, "the quick brown fox jumps over the lazy dog");
        });
    for (auto& thread : threads)
        thread.join();
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 800u);
    std::regex whole(R"(\[\d+\.\d{4}\] thread \d line \d+ the quick brown fox jumps over the lazy dog)");
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

// The program's own log: lines wait for the writer thread, which writes them in batches; log_flush and
// log_stop bring every one into the file, whole and in order.
TEST(LogConcurrency, BufferedLinesFromManyThreadsAllArriveWholeAndInOrder)
{
    std::string path = testing::TempDir() + std::to_string(getpid()) + "_log_buffered.txt";
    log_restart(path.c_str());  // the lines held since the process began are not this test's
    log_start(path.c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; i++)
                log_write("thread %d line %d %s", t, i, "the quick brown fox jumps over the lazy dog");
        });
    for (auto& thread : threads)
        thread.join();
    log_flush();
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 8000u);
    std::regex whole(R"(\[\d+\.\d{4}\] thread (\d) line (\d+) the quick brown fox jumps over the lazy dog)");
    int next[4] = {};
    for (const auto& line : lines) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(line, parts, whole)) << line;
        int t = std::stoi(parts[1]);
        ASSERT_EQ(std::stoi(parts[2]), next[t]++) << "thread " << t << " out of order";
    }
    log_write("last line before the stop");
    log_stop();
    log_write("after the stop");
    lines = read_lines(path);
    ASSERT_EQ(lines.size(), 8001u);
    EXPECT_NE(lines.back().find("last line before the stop"), std::string::npos);
    std::remove(path.c_str());
}

// A full log is renamed log.1.txt and a new one goes on; over several changes of file the two files
// always hold the newest lines, none cut, none lost, none twice. Both ways of writing: at once, and
// through the writer.
TEST(Log, AtTheSizeLimitTheLogContinuesInANewFileWithNoLineCutOrLost)
{
    for (bool buffered : {false, true}) {
        std::string folder = testing::TempDir() + std::to_string(getpid()) + "_rotation_" + std::to_string(buffered);
        std::filesystem::remove_all(folder);
        ASSERT_TRUE(std::filesystem::create_directories(folder));
        std::string path = folder + "/log.txt";
        std::string old_path = folder + "/log.1.txt";
        if (buffered)
            log_start(path.c_str());
        else
            log_restart(path.c_str());
        log_set_size_limit(8192);
        constexpr int count = 1000;  // about 50 KB: six changes of file
        for (int i = 0; i < count; i++)
            log_write("numbered line %06d of the rotation test", i);
        log_stop();

        auto old_lines = read_lines(old_path);
        auto new_lines = read_lines(path);
        ASSERT_FALSE(old_lines.empty()) << "buffered " << buffered;
        ASSERT_FALSE(new_lines.empty());
        std::regex notice(R"(\[\d+\.\d{4}\] Log - Continued: the earlier lines are in log\.1\.txt)");
        EXPECT_TRUE(std::regex_match(old_lines[0], notice)) << old_lines[0];
        EXPECT_TRUE(std::regex_match(new_lines[0], notice)) << new_lines[0];
        std::regex numbered(R"(\[\d+\.\d{4}\] numbered line (\d{6}) of the rotation test)");
        std::vector<std::string> both(old_lines.begin() + 1, old_lines.end());
        both.insert(both.end(), new_lines.begin() + 1, new_lines.end());
        int expected = count - static_cast<int>(both.size());
        for (const std::string& line : both) {
            std::smatch parts;
            ASSERT_TRUE(std::regex_match(line, parts, numbered)) << line;
            ASSERT_EQ(std::stoi(parts[1]), expected++);
        }
        EXPECT_EQ(expected, count);
        // The limit holds for the file's real bytes, line ends as the platform writes them (CR LF on Windows).
        for (const std::string& file : {path, old_path}) {
            std::ifstream in(file, std::ios::binary);
            std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_LE(raw.size(), 8192u) << file;
            size_t ends = 0;
            for (size_t at = raw.find(file_line_end()); at != std::string::npos; at = raw.find(file_line_end(), at + 1))
                ends++;
            EXPECT_EQ(ends, read_lines(file).size()) << file;
            EXPECT_EQ(static_cast<size_t>(std::count(raw.begin(), raw.end(), '\n')), ends) << file;
        }
        std::filesystem::remove_all(folder);
    }
}

#ifndef _WIN32  // descriptor limits are POSIX's
// No descriptor free when the log is full: the old file takes the lines and the change is made once a
// descriptor is free again. No line is lost.
TEST(Log, WhenTheNewFileCannotBeOpenedTheOldOneTakesTheLinesUntilItCan)
{
    std::string folder = testing::TempDir() + std::to_string(getpid()) + "_rotation_no_descriptor";
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    std::string path = folder + "/log.txt";
    log_restart(path.c_str());
    log_set_size_limit(8192);
    log_write("first line");
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit low = old_limit;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    constexpr int count = 400;  // about 20 KB: two changes of file fall due while none can be made
    for (int i = 0; i < count; i++)
        log_write("numbered line %06d of the rotation test", i);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old_limit), 0);
    log_write("numbered line %06d of the rotation test", count);
    log_stop();

    auto old_lines = read_lines(folder + "/log.1.txt");
    auto new_lines = read_lines(path);
    ASSERT_EQ(new_lines.size(), 1u) << "the change waited for a descriptor";
    std::regex numbered(R"(\[\d+\.\d{4}\] numbered line (\d{6}) of the rotation test)");
    int expected = 0;
    int notices = 0;
    for (const std::string& line : old_lines) {
        std::smatch parts;
        if (std::regex_match(line, parts, numbered))
            EXPECT_EQ(std::stoi(parts[1]), expected++);
        else
            notices += line.find("Log - Unable to open") != std::string::npos;
    }
    EXPECT_EQ(expected, count);
    EXPECT_EQ(notices, 1);
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(new_lines[0], parts, numbered)) << new_lines[0];
    EXPECT_EQ(std::stoi(parts[1]), count);
    std::filesystem::remove_all(folder);
}
#endif

TEST(ShowBuffer, FormatsLabelCountAndLowerCaseHex)
{
    std::string path = temp_log("log_dump.txt");
    const unsigned char bytes[] = {0x01, 0xAB};
    show_buffer("rx", bytes, 2, false);
    show_buffer("none", bytes, 0, false);
    std::vector<unsigned char> packet(250);
    for (size_t i = 0; i < packet.size(); i++)
        packet[i] = static_cast<unsigned char>(i * 7);
    show_buffer("Cam data", packet.data(), 250, false);
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[0.0000] rx: (2) 01 ab ");
    EXPECT_EQ(lines[1].substr(lines[1].find(']') + 2), "none: (0) ");
    std::string dump = lines[2].substr(lines[2].find(']') + 2);
    ASSERT_EQ(dump.size(), std::string("Cam data: (250) ").size() + 750);
    char expected[4];
    std::snprintf(expected, sizeof expected, "%02x ", static_cast<unsigned char>(249 * 7));
    EXPECT_EQ(dump.substr(dump.size() - 3), expected);
}

TEST(Bytes, AppendByteAndChecksum)
{
    unsigned char buffer[3];
    unsigned int index = 0;
    append_byte(buffer, index, 7);
    append_byte(buffer, index, 8);
    append_byte(buffer, index, 9);
    EXPECT_EQ(index, 3u);
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[2], 9);
    const unsigned char sum[] = {0xFF, 0x02};
    EXPECT_EQ(get_checksum(sum, 0), 0u);
    EXPECT_EQ(get_checksum(sum, 2), 1u);
    const unsigned char packet[] = {0x04, 0x01, 0x2A};
    EXPECT_EQ(get_checksum(packet, 3), 0x2Fu);
}

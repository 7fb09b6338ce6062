// The log, hex dumps, byte records and the checksum.
#include "app/utility.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
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
    log("first %d", 1);
    log("second");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[0.0000] first 1");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[0\.\d{4}\] second)"))) << lines[1];
}

TEST(Log, TextEndingInNewlineLeavesAnEmptyLine)
{
    std::string path = temp_log("log_newline.txt");
    log("%s", "ends\n");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "");
}

TEST(Log, AfterStopNothingIsWrittenAndTheFileIsNotTruncated)
{
    std::string path = temp_log("log_stop.txt");
    log("kept");
    log_stop();
    log("dropped");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("kept"), std::string::npos);
}

TEST(Log, UnwritableFileIsSilentlyIgnored)
{
    log_restart("/nonexistent-directory/log.txt");
    log("nowhere to go");  // must not crash
    SUCCEED();
}

TEST(Log, LinesFromManyThreadsNeverInterleave)
{
    std::string path = temp_log("log_threads.txt");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; i++)
                log("thread %d line %d %s", t, i, "the quick brown fox jumps over the lazy dog");
        });
    for (auto& thread : threads)
        thread.join();
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 800u);
    std::regex whole(R"(\[\d+\.\d{4}\] thread \d line \d+ the quick brown fox jumps over the lazy dog)");
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(ShowBuffer, FormatsLabelCountAndLowerCaseHex)
{
    std::string path = temp_log("log_dump.txt");
    const unsigned char bytes[] = {0x01, 0xAB};
    show_buffer("rx", bytes, 2, false);
    show_buffer("none", bytes, 0, false);
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[0.0000] rx: (2) 01 ab ");
    EXPECT_EQ(lines[1].substr(lines[1].find(']') + 2), "none: (0) ");
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

// The twelve message lines under the status display, and their copy in the log.
#include "app/utility.h"
#include "console/display.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

void reset_lines()
{
    std::lock_guard<std::mutex> hold(text_lock);
    std::memset(text_area, 'x', sizeof text_area);  // stale bytes the first line must clear
    text_y = 0;
    text_clear = false;
}

} // namespace

TEST(MessageLines, FirstLineClearsAllSlots)
{
    reset_lines();
    display_start();
    add_line("hello %d", 1);
    EXPECT_EQ(text_y, 1);
    EXPECT_STREQ(text_area[0], "hello 1");
    for (int i = 1; i < text_line_count; i++)
        EXPECT_EQ(text_area[i][0], 0) << "slot " << i;
}

TEST(MessageLines, ThirteenthLineScrollsTheOldestOut)
{
    reset_lines();
    for (int i = 0; i < 13; i++)
        add_line("line %d", i);
    EXPECT_EQ(text_y, 12);
    EXPECT_STREQ(text_area[0], "line 1");
    EXPECT_STREQ(text_area[11], "line 12");
    add_line("%s", "");
    EXPECT_STREQ(text_area[10], "line 12");
    EXPECT_STREQ(text_area[11], "") << "an empty text still takes a slot";
}

TEST(MessageLines, LongTextIsCutOnScreenButWholeInTheLog)
{
    reset_lines();
    std::string path = testing::TempDir() + std::to_string(getpid()) + "_lines_log.txt";
    log_restart(path.c_str());
    std::string text(300, 'a');
    text[198] = 'b';
    text[199] = 'c';
    add_line("%s", text.c_str());
    EXPECT_EQ(std::strlen(text_area[0]), 199u);
    EXPECT_EQ(text_area[0][198], 'b');
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[0.0000] " + text);
}

TEST(MessageLines, PercentSignsInAReadyTextAreKept)
{
    reset_lines();
    do_add_line("100% %s %d");
    EXPECT_STREQ(text_area[0], "100% %s %d");
}

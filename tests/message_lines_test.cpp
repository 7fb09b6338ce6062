// The twelve message lines under the status display, and their copy in the log.
#include "services/message_lines.h"

#include "services/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

TEST(MessageLines, TheThirteenthLineScrollsTheOldestOutAndAnEmptyTextTakesASlot)
{
    message_lines_clear();
    add_line("hello %d", 1);
    EXPECT_EQ(message_lines_shown(), std::vector<std::string>{"hello 1"});
    message_lines_clear();
    for (int i = 0; i < 13; i++)
        add_line("line %d", i);
    std::vector<std::string> shown = message_lines_shown();
    ASSERT_EQ(shown.size(), 12u);
    EXPECT_EQ(shown[0], "line 1");
    EXPECT_EQ(shown[11], "line 12");
    add_line("%s", "");
    shown = message_lines_shown();
    EXPECT_EQ(shown[10], "line 12");
    EXPECT_EQ(shown[11], "") << "an empty text still takes a slot";
}

TEST(MessageLines, LongTextIsCutOnScreenButWholeInTheLog)
{
    message_lines_clear();
    std::string path = testing::TempDir() + std::to_string(getpid()) + "_lines_log.txt";
    log_restart(path.c_str());
    std::string text(300, 'a');
    text[198] = 'b';
    text[199] = 'c';
    add_line("%s", text.c_str());
    std::string shown = message_lines_shown().at(0);
    EXPECT_EQ(shown.size(), 199u);
    EXPECT_EQ(shown[198], 'b');
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "[0.0000] " + text);
}

TEST(MessageLines, PercentSignsInAReadyTextAreKept)
{
    message_lines_clear();
    do_add_line("100% %s %d");
    EXPECT_EQ(message_lines_shown().at(0), "100% %s %d");
}

// The program as a whole: start-up, the log, shutdown on a signal, and the real window under Xvfb.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>

using namespace integration;

TEST(Shell, HeadlessStartWritesTheLogAndSigtermShutsDownCleanly)
{
    temp_folder folder;
    auto program = start_quillon(folder);
    ASSERT_TRUE(program->running());
    auto lines = read_lines(folder.file("log.txt"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("[0.0000] ", 0), 0u) << lines[0];
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
    std::regex stamped(R"(\[\d+\.\d{4}\] .*)");
    for (const auto& line : read_lines(folder.file("log.txt")))
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
}

// A display that does not open leaves a headless run that says why; SIGINT closes it as SIGTERM does.
TEST(Shell, ADisplayThatDoesNotOpenIsReportedAndSigintClosesTheHeadlessRun)
{
    temp_folder folder;
    auto program = start_quillon(folder, {}, {"DISPLAY=:65000"});
    ASSERT_TRUE(program->running());
    EXPECT_EQ(count_lines_containing(folder.file("log.txt"), "Window - No display (DISPLAY :65000 does not open)"), 1);
    program->signal(SIGINT);
    EXPECT_EQ(program->wait(), 0);
}

// Asking for help, or a refused option, is no run: the log of the run before stays as it was.
TEST(Shell, HelpAndUnknownOptionsLeaveTheLogOfTheRunBeforeAlone)
{
    temp_folder folder;
    folder.write("log.txt", "[0.0000] the run before\n");
    process bogus({quillon_binary(), "--bogus"}, folder.path());
    EXPECT_EQ(bogus.wait(), 2);
    EXPECT_NE(bogus.errors().find("unknown option"), std::string::npos);
    process help({quillon_binary(), "--help"}, folder.path());
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.output().find("usage: quillon"), std::string::npos);
    EXPECT_EQ(read_file(folder.file("log.txt")), "[0.0000] the run before\n");
}

TEST(Window, OpensWithItsCaptionAndSizeAndEscClosesIt)
{
    virtual_display display;
    if (!display.ready())
        GTEST_SKIP() << "Xvfb is not installed";
    temp_folder folder;
    auto program = start_quillon(folder, {}, {display.environment()});
    std::string id;
    ASSERT_TRUE(wait_until([&] {
        id = display.run("xdotool search --name '^Quillon$'");
        return !id.empty();
    })) << "no window named Quillon";
    id = id.substr(0, id.find('\n'));
    std::string geometry = display.run("xdotool getwindowgeometry " + id);
    EXPECT_NE(geometry.find("800x400"), std::string::npos) << geometry;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string shot = folder.file("window.png");
    EXPECT_TRUE(display.screenshot(shot));
    display.run("xdotool windowfocus --sync " + id + " key Escape");
    EXPECT_EQ(program->wait(), 0);
}

// The serial camera end to end: quillon-sim's camera on a pseudo-terminal, the real program decoding its
// images (and its faults), and both windows under Xvfb with the simulated robot driving.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace integration;

namespace {

// The sim writes config.txt into the folder; commands go to it through a FIFO.
std::unique_ptr<process> start_sim(const temp_folder& folder, const std::vector<std::string>& options)
{
    std::vector<std::string> arguments{sim_binary(), "--write-config", folder.path(), "--no-stdin", "--quiet",
                                       "--control", folder.file("sim.ctl")};
    arguments.insert(arguments.end(), options.begin(), options.end());
    auto sim = std::make_unique<process>(arguments, folder.path());
    wait_until([&] { return std::filesystem::exists(folder.file("config.txt")) || !sim->running(); });
    return sim;
}

void sim_command(const temp_folder& folder, const std::string& line)
{
    std::ofstream control(folder.file("sim.ctl"), std::ios::app);
    control << line << "\n";
}

// Seconds stamped on the log lines that contain the text.
std::vector<double> times_of(const std::string& log, const std::string& text)
{
    std::vector<double> times;
    for (const std::string& line : read_lines(log))
        if (line.find(text) != std::string::npos)
            times.push_back(std::atof(line.c_str() + 1));
    return times;
}

// For each "Cam size" line, the "Image Complete" lines before the next one.
std::vector<int> completions_per_image(const std::string& log)
{
    std::vector<int> counts;
    for (const std::string& line : read_lines(log)) {
        if (line.find("Cam size: ") != std::string::npos)
            counts.push_back(0);
        else if (line.find("Image Complete") != std::string::npos && !counts.empty())
            counts.back()++;
    }
    return counts;
}

} // namespace

TEST(Camera, HeadlessProgramDecodesEveryImageAtTheCamerasPace)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    temp_folder folder;
    auto sim = start_sim(folder, {"--baud-pace", "--camera-rate", "2"});
    ASSERT_TRUE(sim->running()) << sim->errors();
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_until([&] { return count_lines_containing(log, "Image Complete") >= 8; }, std::chrono::seconds(15)))
        << read_file(log).substr(0, 4000);
    EXPECT_GE(count_lines_containing(log, "Serial Cam [Left - 8] - Construct"), 1);
    EXPECT_EQ(count_lines_containing(log, "Decompress - "), 0) << "whole images decode in full";
    auto sizes = times_of(log, "Cam size: ");
    EXPECT_GE(sizes.size(), 8u);
    // Two images a second at most, and at 57,600 baud a 160 x 120 JPEG of a few kilobytes takes about half a
    // second: the rate the program sees lies between one and two images a second.
    auto done = times_of(log, "Image Complete");
    double rate = (done.size() - 2) / (done.back() - done[1]);
    EXPECT_GT(rate, 1.0);
    EXPECT_LT(rate, 2.2);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
    EXPECT_GE(count_lines_containing(log, "Serial Cam [Left - 8] - Destruct"), 1);
}

TEST(Camera, DamagedImagesAreLoggedAndTheProgramRunsOn)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    temp_folder folder;
    auto sim = start_sim(folder, {"--camera-rate", "4"});
    ASSERT_TRUE(sim->running()) << sim->errors();
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    auto images_after = [&](int count) {
        int now = count_lines_containing(log, "Image Complete");
        return wait_until([&] { return count_lines_containing(log, "Image Complete") >= now + count; });
    };
    ASSERT_TRUE(images_after(2));

    sim_command(folder, "fault camera-corrupt");
    EXPECT_TRUE(wait_for_line(log, "Decompress - Error: ")) << "a frame header the decoder refuses";
    EXPECT_TRUE(images_after(2));
    sim_command(folder, "fault camera-truncate");
    EXPECT_TRUE(wait_for_line(log, "Decompress - Warning: ")) << "the truncated stream ends early";
    EXPECT_TRUE(images_after(2));
    sim_command(folder, "fault camera-excess 600");
    EXPECT_TRUE(wait_until([&] {
        auto counts = completions_per_image(log);
        for (size_t i = 0; i + 1 < counts.size(); i++)
            if (counts[i] >= 2)
                return true;
        return false;
    })) << "data beyond the announced length decodes the image again";
    sim_command(folder, "fault camera-message 42");
    EXPECT_TRUE(wait_for_line(log, "Camera Message: 42"));
    EXPECT_TRUE(images_after(2)) << "still decoding";
    EXPECT_TRUE(program->running());
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

// Both windows under Xvfb while a remote operator drives the simulated robot. With QUILLON_SCREENSHOT set
// to a path, the picture is kept there (the README's docs/screenshot.png is made this way).
TEST(CameraWindow, BothWindowsShowTheirPicturesWhileTheRobotDrives)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    virtual_display display;
    if (!display.ready())
        GTEST_SKIP() << "Xvfb is not installed";
    temp_folder folder;
    auto sim = start_sim(folder, {"--baud-pace", "--pose", "0.6,1.0,-8"});
    ASSERT_TRUE(sim->running()) << sim->errors();
    auto program = start_quillon(folder, {}, {display.environment()});
    // The backend may replace a window just after creating it: look until both answer with their size.
    std::string camera_id, main_id;
    auto first_id = [&](const std::string& title) {
        std::string ids = display.run("xdotool search --name '^" + title + "$'");
        return ids.substr(0, ids.find('\n'));
    };
    ASSERT_TRUE(wait_until([&] {
        camera_id = first_id("Serial Camera");
        main_id = first_id("Quillon");
        return !camera_id.empty() && !main_id.empty() &&
               display.run("xdotool getwindowgeometry " + camera_id).find("640x480") != std::string::npos &&
               display.run("xdotool getwindowgeometry " + main_id).find("800x400") != std::string::npos;
    })) << "both windows open at their sizes: " << display.run("xwininfo -root -tree");
    // Both open at (200, 200); side by side they fit one picture.
    display.run("xdotool windowmove " + main_id + " 10 10");
    display.run("xdotool windowmove " + camera_id + " 10 420");

    std::string log = folder.file("log.txt");
    tcp_client client;
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(wait_for_line(log, "Connection from: 127.0.0.1"));
    for (int i = 0; i < 40; i++) {  // four seconds of a gentle left curve
        ASSERT_TRUE(client.send_bytes(control_message(0x00, 60, 68)));
        client.receive(21, std::chrono::milliseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GE(count_lines_containing(log, "Image Complete"), 3);
    std::string shot = folder.file("screen.png");
    ASSERT_TRUE(display.screenshot(shot));
    std::string cropped = folder.file("screenshot.png");
    ASSERT_EQ(std::system(("convert " + shot + " -crop 820x910+0+0 +repage " + cropped).c_str()), 0);
    // The camera's picture is not one flat colour: sample the middle of the camera window.
    std::string colours = display.run("convert " + shot + " -crop 640x480+10+420 +repage -colors 16 -unique-colors txt:- | wc -l");
    EXPECT_GT(std::atoi(colours.c_str()), 4) << "the camera window shows an image";
    if (const char* keep = std::getenv("QUILLON_SCREENSHOT"))
        std::filesystem::copy_file(cropped, keep, std::filesystem::copy_options::overwrite_existing);
    client.close();
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

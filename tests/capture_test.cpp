// The capture service: frames from GStreamer test sources in several layouts reach the JPEG with their
// first row on top and their colours in place; failures come back with the library's reason.
#include "platform/capture.h"

#include "imaging/compress.h"
#include "test_jpeg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

namespace {

struct colour_type {
    int red, green, blue;
};

// The SMPTE pattern's top row holds seven bars (white, yellow, cyan, green, magenta, red, blue); its
// bottom row starts with a dark blue block, then a white one.
// Within what JPEG's and the source's chroma subsampling leave of a colour.
void expect_colour(const test_jpeg::picture_type& picture, int x, int y, colour_type want, const std::string& what)
{
    const unsigned char* got = picture.at(x, y);
    EXPECT_NEAR(got[0], want.red, 64) << what;
    EXPECT_NEAR(got[1], want.green, 64) << what;
    EXPECT_NEAR(got[2], want.blue, 64) << what;
}

test_jpeg::picture_type capture_to_jpeg(const std::string& description, int width, int height)
{
    std::string error;
    capture_type* capture = capture_open(description.c_str(), 5000, &error);
    EXPECT_NE(capture, nullptr) << error;
    if (capture == nullptr)
        return {};
    EXPECT_EQ(capture_format(capture).width, width);
    EXPECT_EQ(capture_format(capture).height, height);
    std::vector<unsigned char> frame(static_cast<size_t>(width) * height * 4, 0xEE);
    bool taken = capture_take(capture, frame.data(), width, height, 2000);
    capture_close(capture);
    EXPECT_TRUE(taken);
    std::vector<unsigned char> transcode(frame.size());
    std::vector<unsigned char> jpeg(frame.size() * 2);
    unsigned int size = 0;
    EXPECT_TRUE(compress_frame(frame.data(), jpeg.data(), transcode.data(), static_cast<int>(jpeg.size()), &size,
                               width, height));
    return test_jpeg::decode(jpeg.data(), size);
}

} // namespace

TEST(Capture, FirstRowAndColourOrderSurviveToTheJpegInEveryLayout)
{
    // Planar with shared chroma, packed blue first, and packed 3-byte rows whose odd width pads them.
    const std::vector<std::string> layouts{"I420", "BGRx", "RGB"};
    for (const std::string& layout : layouts) {
        int width = layout == "RGB" ? 281 : 280;
        std::string description = "videotestsrc pattern=smpte ! video/x-raw,format=" + layout +
                                  ",width=" + std::to_string(width) + ",height=240";
        test_jpeg::picture_type picture = capture_to_jpeg(description, width, 240);
        ASSERT_EQ(picture.width, width) << layout;
        ASSERT_EQ(picture.height, 240) << layout;
        int bar = width / 7;
        expect_colour(picture, bar * 1 + bar / 2, 2, {255, 255, 0}, layout + ": yellow bar on top");
        expect_colour(picture, bar * 5 + bar / 2, 2, {255, 0, 0}, layout + ": red bar on top");
        expect_colour(picture, bar * 6 + bar / 2, 2, {0, 0, 255}, layout + ": blue bar on top");
        expect_colour(picture, bar / 2, 237, {0, 0, 128}, layout + ": dark blue at the bottom left");
        expect_colour(picture, bar + bar / 2, 237, {255, 255, 255}, layout + ": white at the bottom");
        // Strides honoured: the bars stand upright, so row 10 repeats row 100 (a shear would move them).
        for (int x = 0; x < width; x += 7)
            expect_colour(picture, x, 100, {picture.at(x, 10)[0], picture.at(x, 10)[1], picture.at(x, 10)[2]},
                          layout + ": column " + std::to_string(x));
    }
}

TEST(Capture, TakingScalesToTheWantedSizeAndWaitsOnlyForANewFrame)
{
    std::string error;
    capture_type* capture = capture_open("videotestsrc is-live=true pattern=smpte ! "
                                         "video/x-raw,width=320,height=240,framerate=2/1", 5000, &error);
    ASSERT_NE(capture, nullptr) << error;
    EXPECT_DOUBLE_EQ(capture_format(capture).frame_rate, 2.0);
    EXPECT_TRUE(capture_running(capture));
    std::vector<unsigned char> frame(160 * 120 * 4);
    ASSERT_TRUE(capture_take(capture, frame.data(), 160, 120, 2000));
    EXPECT_EQ(frame[0], 255);  // the white bar in the top left corner
    // The frame just taken is not handed over twice: the next take waits for the source's next frame,
    // half a second away, so that a loaded machine does not see it come between the two takes.
    EXPECT_FALSE(capture_take(capture, frame.data(), 160, 120, 0));
    EXPECT_TRUE(capture_take(capture, frame.data(), 160, 120, 1000));
    std::string reason;
    EXPECT_EQ(capture_check(capture, &reason), capture_event::none) << reason;
    capture_close(capture);
}

TEST(Capture, FailuresGiveTheLibrarysReasonAndAnEndedSourceComesBack)
{
    std::string error;
    EXPECT_EQ(capture_open("nosuchelement ! videoconvert", 2000, &error), nullptr);
    EXPECT_NE(error.find("nosuchelement"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(capture_open("v4l2src device=/dev/quillon-no-camera", 2000, &error), nullptr);
    EXPECT_NE(error.find("quillon-no-camera"), std::string::npos) << error;
    error.clear();
    EXPECT_EQ(capture_open("audiotestsrc", 2000, &error), nullptr);
    EXPECT_FALSE(error.empty());

    // Ten frames, then the end: reported once, rebuilt two seconds later, and frames come again.
    capture_type* capture = capture_open("videotestsrc num-buffers=10 ! video/x-raw,width=64,height=48,framerate=50/1",
                                         5000, &error);
    ASSERT_NE(capture, nullptr) << error;
    std::vector<unsigned char> frame(64 * 48 * 4);
    std::vector<capture_event> events;
    std::string reason;
    bool frame_after_restore = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline && !frame_after_restore) {
        if (!capture_take(capture, frame.data(), 64, 48, 10))  // an ended source returns at once
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        capture_event event = capture_check(capture, &reason);
        if (event != capture_event::none && event != capture_event::warning)
            events.push_back(event);
        if (!events.empty() && events.back() == capture_event::restored)
            frame_after_restore = capture_take(capture, frame.data(), 64, 48, 500);
    }
    EXPECT_EQ(events, (std::vector<capture_event>{capture_event::lost, capture_event::restored}));
    EXPECT_EQ(reason, "the source ended");
    EXPECT_TRUE(frame_after_restore);
    capture_close(capture);
}

// Everything the library reported is read in one check: the warnings of three slow branches that piled
// up come as one warning with their texts joined, not one per check.
TEST(Capture, OneCheckReadsEveryWarningTheBusHolds)
{
    std::string slow = " t. ! queue leaky=downstream ! identity sleep-time=30000 ! fakesink sync=true max-lateness=1000000";
    std::string description = "videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=100/1 "
                              "! tee name=t" + slow + slow + slow + " t. ! queue";
    std::string error;
    capture_type* capture = capture_open(description.c_str(), 5000, &error);
    ASSERT_NE(capture, nullptr) << error;
    // The pause is the point: warnings pile up on the bus while nobody checks.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    std::string reason;
    EXPECT_EQ(capture_check(capture, &reason), capture_event::warning);
    size_t warned = 0;
    for (size_t at = reason.find("buffers are being dropped"); at != std::string::npos;
         at = reason.find("buffers are being dropped", at + 1))
        warned++;
    EXPECT_GE(warned, 2u) << reason;
    capture_close(capture);
}

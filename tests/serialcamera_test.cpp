// The serial camera: reassembly of device-8 messages, the image rate, refused and short messages, the
// window's picture, teardown, and decoding against painting.
#include "imaging/serialcamera.h"

#include "services/message_lines.h"

#include "services/log.h"

#include "platform/canvas.h"
#include "platform/messages.h"
#include "test_jpeg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

struct camera_case {
    std::string log_path;
    std::unique_ptr<serial_cam_class> cam;

    camera_case()
    {
        log_path = testing::TempDir() + std::to_string(getpid()) + "_serialcamera_log.txt";
        log_restart(log_path.c_str());
        cam = std::make_unique<serial_cam_class>("Test", 8, 0);
    }
    void send(const bytes& payload) { cam->camera_data(payload.data(), static_cast<int>(payload.size())); }
    void send_size(size_t size) { send({5, static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)}); }
    // The stream in data messages of at most 250 bytes.
    void send_data(const bytes& stream, size_t piece = 250)
    {
        for (size_t at = 0; at < stream.size(); at += piece) {
            bytes payload{6};
            payload.insert(payload.end(), stream.begin() + at, stream.begin() + std::min(stream.size(), at + piece));
            send(payload);
        }
    }
    void send_image(const bytes& jpeg)
    {
        send_size(jpeg.size());
        send_data(jpeg);
    }
    std::string log_text() const
    {
        std::ifstream in(log_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    int count(const std::string& text) const
    {
        std::string all = log_text();
        int n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            n++;
        return n;
    }
    // Paints into a canvas that draws, whatever the window system is.
    void draw_for_real()
    {
        canvas_destroy(cam->canvas);
        cam->canvas = canvas_create(cam->window_width, cam->window_height, true);
    }
};

std::string newest_line()
{
    std::vector<std::string> shown = message_lines_shown();
    return shown.empty() ? "" : shown.back();
}

bool reddish(uint32_t pixel)
{
    return (pixel >> 16 & 0xFF) > 200 && (pixel >> 8 & 0xFF) < 60 && (pixel & 0xFF) < 60;
}

bool bluish(uint32_t pixel)
{
    return (pixel >> 16 & 0xFF) < 60 && (pixel >> 8 & 0xFF) < 60 && (pixel & 0xFF) > 200;
}

} // namespace

TEST(SerialCamera, ReassemblesTheAnnouncedStreamAndDecodesItWhenComplete)
{
    camera_case c;
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Construct"), std::string::npos);
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Setup Image"), std::string::npos);
    EXPECT_STREQ(window_title(c.cam->hwnd), "Serial Camera");
    EXPECT_EQ(window_user_data(c.cam->hwnd), c.cam.get());

    c.send({5, 1, 0});
    EXPECT_EQ(newest_line(), "Cam size: 256");
    c.send_data(bytes(200, 0x11));
    EXPECT_EQ(c.count("Image Complete"), 0);
    EXPECT_EQ(c.cam->received, 200);
    c.send_data(bytes(100, 0x22));
    EXPECT_EQ(c.count("Image Complete"), 1) << "completed by the message that passes 256 bytes";
    EXPECT_NE(c.log_text().find("Cam data: "), std::string::npos);

    auto jpeg = test_jpeg::solid(160, 120, 255, 0, 0);
    c.send_image(jpeg);
    EXPECT_EQ(newest_line(), "Image Complete");
    EXPECT_EQ(c.count("Image Complete"), 2);
    EXPECT_TRUE(reddish(canvas_rgb(c.cam->camera_buffer[0].red, c.cam->camera_buffer[0].green, c.cam->camera_buffer[0].blue)));

    // One more data message without a new size message decodes the same image again.
    c.send({6, 0x99});
    EXPECT_EQ(c.count("Image Complete"), 3);
    EXPECT_TRUE(reddish(canvas_rgb(c.cam->camera_buffer[5].red, c.cam->camera_buffer[5].green, c.cam->camera_buffer[5].blue)));
}

TEST(SerialCamera, DataBeforeAnySizeMessageIsIgnored)
{
    camera_case c;
    c.send_data(test_jpeg::solid(160, 120, 0, 0, 255));
    EXPECT_EQ(c.cam->received, 0);
    EXPECT_EQ(c.count("Image Complete"), 0);
    EXPECT_EQ(c.cam->camera_buffer[0].blue, 0) << "the picture stays black until the first image";
}

TEST(SerialCamera, CameraMessagesAndShortOrUnknownMessages)
{
    camera_case c;
    c.send({7, 0x2A});
    EXPECT_EQ(newest_line(), "Camera Message: 42");
    c.send({7});
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Camera message of 1 bytes: ignored"), std::string::npos);

    c.send_size(300);
    c.send({5, 0x7F});
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Size message of 2 bytes: ignored"), std::string::npos);
    EXPECT_EQ(c.cam->image_bytes, 300) << "a short size message changes nothing";
    c.send({});
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Empty message: ignored"), std::string::npos);
    c.send({9, 1, 2, 3});
    EXPECT_EQ(c.cam->image_bytes, 300);
    EXPECT_EQ(newest_line(), "Cam size: 300");
}

TEST(SerialCamera, DataBeyondTheBufferIsRefused)
{
    camera_case c;
    ASSERT_EQ(c.cam->compressed_size, 160 * 120 * 8);
    c.send_size(65535);
    // A camera that keeps sending without new size messages: each piece after the first image completes
    // again, until the buffer is full.
    bytes piece(250, 0);
    for (int i = 0; i < 700; i++)
        c.send_data(piece);
    EXPECT_LE(c.cam->received, c.cam->compressed_size);
    EXPECT_GT(c.cam->received, c.cam->compressed_size - 250);
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Image data beyond the buffer"), std::string::npos);

    // A new size message starts over.
    c.send_image(test_jpeg::solid(160, 120, 0, 0, 255));
    EXPECT_TRUE(bluish(canvas_rgb(c.cam->camera_buffer[0].red, c.cam->camera_buffer[0].green, c.cam->camera_buffer[0].blue)));
}

TEST(SerialCamera, RateIsTwoImagesOverTheTimeSinceTheLastComputation)
{
    using clock = std::chrono::steady_clock;
    auto seconds = [](clock::time_point from, clock::time_point to) { return std::chrono::duration<double>(to - from).count(); };
    camera_case c;
    auto jpeg = test_jpeg::solid(160, 120, 0, 255, 0);
    auto first = clock::now();
    c.send_size(jpeg.size());  // the first message starts the clock
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.send_data(jpeg);
    EXPECT_EQ(c.cam->frame_rate, 0.0) << "one image gives no rate";
    auto before_second = clock::now();
    c.send_image(jpeg);
    auto after_second = clock::now();
    EXPECT_LE(c.cam->frame_rate, 2 / 0.1);
    EXPECT_GE(c.cam->frame_rate, 2 / seconds(first, after_second));

    double second_rate = c.cam->frame_rate;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c.send_image(jpeg);
    EXPECT_EQ(c.cam->frame_rate, second_rate) << "the third image leaves the rate";
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    c.send_image(jpeg);
    auto after_fourth = clock::now();
    EXPECT_LE(c.cam->frame_rate, 2 / 0.2) << "two images over the time since the second";
    EXPECT_GE(c.cam->frame_rate, 2 / seconds(before_second, after_fourth));
}

TEST(SerialCamera, WindowShowsTheImageFourTimesEnlargedAndTurned)
{
    camera_case c;
    c.draw_for_real();
    window_send(c.cam->hwnd, WM_PAINT, 0, 0);
    EXPECT_EQ(canvas_pixel(c.cam->canvas, 320, 240), 0u) << "black before the first image";

    // Top-left red, top-right green, bottom-left blue, bottom-right white.
    auto jpeg = test_jpeg::make(160, 120, 3, [](int x, int y, unsigned char* s) {
        bool left = x < 80, top = y < 60;
        s[0] = (top && left) || (!top && !left) ? 255 : 0;
        s[1] = !left ? 255 : 0;
        s[2] = !top ? 255 : 0;
    });
    c.send_image(jpeg);
    window_send(c.cam->hwnd, WM_PAINT, 0, 0);
    auto colour = [&](int x, int y) { return canvas_pixel(c.cam->canvas, x, y); };
    EXPECT_TRUE(reddish(colour(639, 479))) << "the JPEG's top-left corner is shown bottom right";
    EXPECT_TRUE(bluish(colour(639, 0))) << std::hex << colour(639, 0);
    EXPECT_EQ(colour(0, 0) & 0xE0E0E0, 0xE0E0E0u) << "white bottom-right corner shown top left";
    EXPECT_EQ(colour(0, 479) & 0xE0E0E0, 0x00E000u) << "green";
    // Each image pixel is a 4 x 4 block.
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 4; x++)
            EXPECT_EQ(colour(600 + x, 400 + y), colour(600, 400));

    // Keys typed into the camera window are swallowed.
    EXPECT_EQ(window_send(c.cam->hwnd, WM_KEYDOWN, 'W', 1), 0);
}

TEST(SerialCamera, DeletedCameraLeavesItsWindowDetached)
{
    camera_case c;
    window_handle window = c.cam->hwnd;
    c.cam->stop();
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Stop"), std::string::npos);
    c.cam.reset();
    EXPECT_NE(c.log_text().find("Serial Cam [Test - 8] - Destruct"), std::string::npos);
    EXPECT_TRUE(window_alive(window));
    EXPECT_EQ(window_user_data(window), nullptr);
    // Later messages get the default handling and reach no object.
    EXPECT_EQ(window_send(window, WM_PAINT, 0, 0), 0);
    EXPECT_EQ(window_send(window, WM_KEYDOWN, 'W', 1), 0);
}

TEST(SerialCameraConcurrency, PaintNeverShowsAHalfDecodedImage)
{
    camera_case c;
    c.draw_for_real();
    auto red = test_jpeg::solid(160, 120, 255, 0, 0);
    auto blue = test_jpeg::solid(160, 120, 0, 0, 255);
    c.send_image(red);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < 150; i++)
            c.send_image(i % 2 == 0 ? blue : red);
        done = true;
    });
    int paints = 0, torn = 0;
    while (!done || paints == 0) {
        c.cam->paint();
        paints++;
        // Column 0 every four rows covers every image row: one colour from top to bottom.
        bool top_red = reddish(canvas_pixel(c.cam->canvas, 0, 0));
        for (int y = 0; y < 480; y += 4) {
            uint32_t pixel = canvas_pixel(c.cam->canvas, 0, y);
            if (top_red ? !reddish(pixel) : !bluish(pixel)) {
                torn++;
                break;
            }
        }
    }
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << paints << " paints";
    EXPECT_GT(paints, 1);
}

// The camera service: request counting, the camera thread, the buffers and the image message on a socket.
#include "imaging/camera.h"

#include "imaging/camera_feed.h"

#include "services/message_lines.h"

#include "services/log.h"

#include "imaging/compress.h"
#include "net/network.h"
#include "test_jpeg.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

void clear_lines()
{
    message_lines_clear();
}

std::vector<std::string> lines()
{
    return message_lines_shown();
}

void fill_gradient(camera_class& service)
{
    for (int y = 0; y < service.height; y++)
        for (int x = 0; x < service.width; x++) {
            unsigned char* pixel = service.camera_buffer + (static_cast<std::size_t>(y) * service.width + x) * 4;
            pixel[0] = static_cast<unsigned char>(x * 8);
            pixel[1] = static_cast<unsigned char>(y * 8);
            pixel[2] = 100;
            pixel[3] = 0;
        }
}

// Everything that reaches the client end within the time, or until want bytes have come.
bytes receive(int socket, std::size_t want, int milliseconds)
{
    bytes all;
    pollfd p{socket, POLLIN, 0};
    while (all.size() < want && poll(&p, 1, milliseconds) > 0) {
        unsigned char buffer[4096];
        ssize_t n = read(socket, buffer, sizeof buffer);
        if (n <= 0)
            break;
        all.insert(all.end(), buffer, buffer + n);
    }
    return all;
}

// The operator link holding one end of a socket pair; the test reads what it sends on the other.
class CameraSend : public testing::Test {
protected:
    void SetUp() override
    {
        log_path = testing::TempDir() + std::to_string(getpid()) + "_camera_send_log.txt";
        log_restart(log_path.c_str());
        clear_lines();
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        client = ends[0];
        network_attach_client(ends[1], 0.0);
    }

    void TearDown() override
    {
        network_stop();
        close(client);
    }

    std::string log_path;
    int client = -1;
};

} // namespace

TEST(CameraService, StartWithoutCaptureWindowAddsOneLineAndStartsNoThread)
{
    clear_lines();
    camera_class service;
    service.set_image_sender(network_send);
    service.start(nullptr);
    EXPECT_EQ(lines(), std::vector<std::string>{"Unable to create capture window"});
    EXPECT_FALSE(service.running);
    EXPECT_FALSE(service.thread_handle.joinable());
    service.stop();  // nothing to end or release
    EXPECT_EQ(lines().size(), 1u);
}

TEST(CameraService, RequestsThenUpdateGiveTheRate)
{
    camera_class service;
    service.set_image_sender(network_send);
    service.request_image();
    service.request_image();
    service.request_image();
    EXPECT_EQ(service.request_count, 3);
    service.update();
    EXPECT_EQ(service.request_rate, 3);
    EXPECT_EQ(service.request_count, 0);
    service.update();
    EXPECT_EQ(service.request_rate, 0);
}

TEST(CameraService, SeveralSignalsBeforeAWaitWakeItOnce)
{
    auto_reset_event_class event;
    EXPECT_FALSE(event.wait_for(0));
    event.signal();
    event.signal();
    event.signal();
    EXPECT_TRUE(event.wait_for(0));
    EXPECT_FALSE(event.wait_for(1));
}

TEST(CameraService, SetupBufferSizesFor320By240)
{
    camera_class service;
    service.set_image_sender(network_send);
    service.width = 320;
    service.height = 240;
    service.setup_buffer();
    ASSERT_NE(service.camera_buffer, nullptr);
    ASSERT_NE(service.compressed_buffer, nullptr);
    ASSERT_NE(service.transcode_buffer, nullptr);
    EXPECT_EQ(service.compressed_buffer_size, 320 * 240 * 8);
    // Touch every byte the sizes promise; the address sanitizer build catches a short block.
    std::memset(service.camera_buffer, 1, 320 * 240 * 4);
    std::memset(service.transcode_buffer, 2, 320 * 240 * 4);
    std::memset(service.compressed_buffer, 3, 320 * 240 * 8);
    const bitmap_info_type& info = service.bitmap_info;
    EXPECT_EQ(info.biSize, 40u);
    EXPECT_EQ(info.biWidth, 320);
    EXPECT_EQ(info.biHeight, 240);
    EXPECT_EQ(info.biPlanes, 1);
    EXPECT_EQ(info.biBitCount, 32);
    EXPECT_EQ(info.biCompression, 0u);
    EXPECT_EQ(info.biSizeImage, 320u * 240u * 4u);
    EXPECT_EQ(info.biXPelsPerMeter, 0);
    EXPECT_EQ(info.biClrUsed, 0u);
}

TEST(CameraService, SetupBufferWithSizesNoBufferCanHoldFailsAtTheCameraBuffer)
{
    clear_lines();
    camera_class service;
    service.set_image_sender(network_send);
    service.width = 16;
    service.height = 16;
    service.setup_buffer();
    service.width = -1;
    service.setup_buffer();
    EXPECT_EQ(lines(), std::vector<std::string>{"Unable to create camera buffer"});
    EXPECT_EQ(service.camera_buffer, nullptr);
    EXPECT_EQ(service.bitmap_info.biWidth, 16) << "the header keeps its previous values";
    service.width = 100000;
    service.height = 100000;
    service.setup_buffer();
    EXPECT_EQ(service.camera_buffer, nullptr);
    EXPECT_EQ(lines().size(), 2u);
}

// The "c" key: without camera_pipeline it changes nothing; a capture that did not start says so.
TEST(CameraService, TheCKeyWithoutACaptureSaysOnlyWhatWasAskedFor)
{
    clear_lines();
    camera_class service;
    service.set_image_sender(network_send);
    service.setup_camera(nullptr, true);
    EXPECT_TRUE(lines().empty());
    service.camera_pipeline = "videotestsrc";
    service.setup_camera(nullptr, true);
    EXPECT_EQ(lines(), std::vector<std::string>{"Camera - No capture: the source did not start"});
}

TEST(CameraServiceConcurrency, StopEndsTheThreadReleasesTheBuffersAndClosesTheCapture)
{
    camera_class service;
    service.set_image_sender(network_send);
    service.camera_pipeline = "videotestsrc is-live=true ! video/x-raw,width=64,height=48,framerate=30/1";
    service.start_capture(nullptr);
    ASSERT_NE(service.capture, nullptr);
    EXPECT_EQ(service.width, 64);
    EXPECT_EQ(service.height, 48);
    EXPECT_TRUE(service.thread_handle.joinable());
    service.start(nullptr);  // a second start leaves the one thread alone
    for (int i = 0; i < 5; i++)
        service.request_image();
    service.stop();
    EXPECT_FALSE(service.thread_handle.joinable());
    EXPECT_FALSE(service.running);
    EXPECT_EQ(service.camera_buffer, nullptr);
    EXPECT_EQ(service.compressed_buffer, nullptr);
    EXPECT_EQ(service.transcode_buffer, nullptr);
    EXPECT_EQ(service.capture, nullptr);
}

// Subscribers get the capture's JPEGs each at its own rate, without a request, and none once they go.
TEST(CameraServiceConcurrency, SubscribersGetTheCapturesJpegsAtTheirOwnRatesAndNoneAfter)
{
    clear_lines();
    camera_class service;
    service.set_image_sender(network_send);
    service.camera_pipeline = "videotestsrc is-live=true ! video/x-raw,width=96,height=64,framerate=30/1";
    service.start_capture(nullptr);
    ASSERT_NE(service.capture, nullptr) << (lines().empty() ? "" : lines().back());
    service.setup_camera(nullptr, true);  // the "c" key
    auto shown = lines();
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(shown[shown.size() - 3], "Camera - Capture: " + service.camera_pipeline);
    EXPECT_EQ(shown[shown.size() - 2], "Camera - Frame size: 96 x 64");
    EXPECT_EQ(shown[shown.size() - 1], "Camera - Frame rate: 30 fps");

    struct seen_type {
        std::vector<test_jpeg::picture_type> pictures;
        std::vector<double> times;
    };
    std::mutex got_lock;
    std::condition_variable got_more;
    seen_type fast, slow;
    auto keeper = [&](seen_type& seen) {
        return [&](const camera_picture_type& picture) {
            std::lock_guard<std::mutex> hold(got_lock);
            seen.pictures.push_back(test_jpeg::decode(picture.jpeg, picture.length));
            seen.times.push_back(picture.time);
            got_more.notify_all();
        };
    };
    // The source gives 30 frames a second; one subscriber wants ten, the other two, the capture's alone.
    camera_want_type want = service.shown(10.0);
    ASSERT_TRUE(want.capture && !want.serial);
    int fast_handle = camera_feed_subscribe(want, keeper(fast));
    want.capture_rate = 2.0;
    int slow_handle = camera_feed_subscribe(want, keeper(slow));
    service.feed_changed();
    {
        std::unique_lock<std::mutex> hold(got_lock);
        EXPECT_TRUE(got_more.wait_for(hold, std::chrono::seconds(10), [&] { return slow.pictures.size() >= 3; }));
    }
    camera_feed_unsubscribe(fast_handle);
    camera_feed_unsubscribe(slow_handle);
    auto rate = [](const seen_type& seen) {
        return seen.times.size() < 2 ? 0.0 : (seen.times.size() - 1) / (seen.times.back() - seen.times.front());
    };
    // The feed and the service are called without the test's own lock: listeners take it under the feed's.
    EXPECT_FALSE(camera_feed_capture_wanted()) << "nobody subscribes: nothing is compressed";
    EXPECT_EQ(service.request_count, 0) << "subscribing is not asking";
    size_t after = 0;
    {
        std::lock_guard<std::mutex> hold(got_lock);
        EXPECT_LE(rate(fast), 10.5);
        EXPECT_LE(rate(slow), 2.1);
        EXPECT_GT(fast.pictures.size(), slow.pictures.size());
        for (const auto& picture : fast.pictures) {
            EXPECT_EQ(picture.width, 96);
            EXPECT_EQ(picture.height, 64);
        }
        after = fast.pictures.size() + slow.pictures.size();
    }
    service.stop();
    std::lock_guard<std::mutex> hold(got_lock);
    EXPECT_EQ(fast.pictures.size() + slow.pictures.size(), after) << "nothing after they went";
}

TEST_F(CameraSend, TwoSendsOfOneFrameSendTwoIdenticalImageMessages)
{
    camera_class service;
    service.set_image_sender(network_send);
    service.width = 32;
    service.height = 24;
    service.setup_buffer();
    fill_gradient(service);
    service.send_image();
    unsigned int first_size = service.jpeg_size;
    service.send_image();
    ASSERT_GT(first_size, 0u);
    EXPECT_EQ(service.jpeg_size, first_size);
    std::size_t message = image_header_size + first_size;
    bytes received = receive(client, 2 * message + 1, 200);
    ASSERT_EQ(received.size(), 2 * message);
    bytes one(received.begin(), received.begin() + message);
    bytes two(received.begin() + message, received.end());
    EXPECT_EQ(one, two);
    EXPECT_EQ(bytes(one.begin(), one.begin() + 5), (bytes{0x60, 0x00, 0x20, 0x00, 0x18}));
    unsigned int length = one[5] << 24 | one[6] << 16 | one[7] << 8 | one[8];
    EXPECT_EQ(length, first_size);
    EXPECT_EQ(one[9], 0xFF);
    EXPECT_EQ(one[10], 0xD8);
    EXPECT_TRUE(lines().empty());
}

TEST_F(CameraSend, FramesWithoutRoomForTheirMessageSendNothing)
{
    camera_class service;
    service.set_image_sender(network_send);
    service.send_image();  // no buffers at all
    service.width = 1;
    service.height = 1;
    service.setup_buffer();  // 8 bytes: not even the header fits
    service.send_image();
    service.width = 0;
    service.setup_buffer();
    service.send_image();
    service.width = 40;
    service.height = 40;
    service.setup_buffer();
    service.width = 80;  // the frame grew after the buffers were made
    service.send_image();
    EXPECT_EQ(service.jpeg_size, 0u);
    EXPECT_TRUE(receive(client, 1, 50).empty());
    EXPECT_TRUE(lines().empty());
}

TEST_F(CameraSend, JpegLargerThanTheBufferSendsNothingAndAddsALine)
{
    camera_class service;
    service.set_image_sender(network_send);
    service.width = 8;
    service.height = 8;  // 512 bytes: less than the tables of any JPEG
    service.setup_buffer();
    fill_gradient(service);
    service.send_image();
    EXPECT_EQ(service.jpeg_size, 0u);
    EXPECT_TRUE(receive(client, 1, 50).empty());
    EXPECT_EQ(lines(), std::vector<std::string>{"Camera - Unable to compress the frame"});

    service.width = 32;  // the link still carries the next image
    service.height = 32;
    service.setup_buffer();
    fill_gradient(service);
    service.send_image();
    EXPECT_EQ(receive(client, image_header_size + service.jpeg_size + 1, 200).size(),
              image_header_size + service.jpeg_size);
}

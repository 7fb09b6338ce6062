// The capture pipeline end to end: the real program with camera_pipeline set answers image requests over
// real TCP with image messages of a GStreamer test source or of quillon-sim's serial camera.
#include "integration_support.h"
#include "../test_jpeg.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

using namespace integration;

namespace {

using bytes = std::vector<unsigned char>;

const std::string test_source = "videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=30/1";

// One whole message from the server: a 21-byte telemetry reply, or an image message (header and JPEG).
struct message_type {
    unsigned char type = 0;
    int width = 0;
    int height = 0;
    bytes jpeg;
};

bool read_message(tcp_client& client, message_type& message, std::chrono::milliseconds limit)
{
    bytes first = client.receive(1, limit);
    if (first.size() != 1)
        return false;
    message = message_type{};
    message.type = first[0];
    if (message.type == 0x90)
        return client.receive(20).size() == 20;
    if (message.type != 0x60)
        return false;
    bytes header = client.receive(8);
    if (header.size() != 8)
        return false;
    message.width = header[0] << 8 | header[1];
    message.height = header[2] << 8 | header[3];
    size_t length = static_cast<size_t>(header[4]) << 24 | header[5] << 16 | header[6] << 8 | header[7];
    message.jpeg = client.receive(length);
    return message.jpeg.size() == length;
}

// Counts the telemetry replies and the image messages that arrive until the stream is quiet for the time.
void count_messages(tcp_client& client, int* replies, int* images, std::chrono::milliseconds quiet)
{
    message_type message;
    while (read_message(client, message, quiet)) {
        *replies += message.type == 0x90;
        *images += message.type == 0x60;
    }
}

void expect_image(const message_type& message, int width, int height)
{
    ASSERT_EQ(message.type, 0x60);
    EXPECT_EQ(message.width, width);
    EXPECT_EQ(message.height, height);
    test_jpeg::picture_type picture = test_jpeg::decode(message.jpeg.data(), message.jpeg.size());
    EXPECT_EQ(picture.width, width) << "the JPEG has the size its header gives";
    EXPECT_EQ(picture.height, height);
}

} // namespace

TEST(CapturePipeline, EachRequestGetsItsReplyAtOnceAndAtMostOneImage)
{
    temp_folder folder;
    folder.write("config.txt", "camera_pipeline " + test_source + "\n");
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_for_line(log, "Camera - Capture 320 x 240 at 30 fps")) << read_file(log);
    tcp_client client;
    ASSERT_TRUE(client.connected());

    ASSERT_TRUE(client.send_bytes({0x60}));
    message_type reply;
    ASSERT_TRUE(read_message(client, reply, std::chrono::seconds(2)));
    EXPECT_EQ(reply.type, 0x90) << "the telemetry reply comes first";
    message_type image;
    ASSERT_TRUE(read_message(client, image, std::chrono::seconds(2)));
    expect_image(image, 320, 240);
    int replies = 0;
    int images = 0;
    count_messages(client, &replies, &images, std::chrono::milliseconds(300));
    EXPECT_EQ(replies + images, 0) << "one request, one image";

    // Twenty requests in one go: twenty replies; the requests that come while an image is on its way
    // share the next one.
    ASSERT_TRUE(client.send_bytes(bytes(20, 0x60)));
    count_messages(client, &replies, &images, std::chrono::milliseconds(500));
    EXPECT_EQ(replies, 20);
    EXPECT_GE(images, 1);
    EXPECT_LE(images, 20);

    // The operator tool's snapshot, once this client has gone.
    client.close();
    ASSERT_TRUE(wait_for_line(log, "Client disconnect"));
    process snapshot({operator_binary(), "--snapshot", folder.file("view.jpg")}, folder.path());
    EXPECT_EQ(snapshot.wait(), 0) << snapshot.errors();
    EXPECT_NE(snapshot.output().find("view.jpg: "), std::string::npos) << snapshot.output();
    EXPECT_NE(snapshot.output().find(" bytes, 320 x 240, "), std::string::npos) << snapshot.output();
    std::string saved = read_file(folder.file("view.jpg"));
    test_jpeg::picture_type picture =
        test_jpeg::decode(reinterpret_cast<const unsigned char*>(saved.data()), saved.size());
    EXPECT_EQ(picture.width, 320);
    EXPECT_EQ(picture.height, 240);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

TEST(CapturePipeline, ADescriptionThatCannotStartIsReportedAndTheLinkStillAnswers)
{
    temp_folder folder;
    folder.write("config.txt", "camera_pipeline nosuchelement ! videoconvert\n");
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_for_line(log, "Camera - Capture failed: ")) << read_file(log);
    EXPECT_EQ(count_lines_containing(log, "Camera - Capture failed: no element \"nosuchelement\""), 1)
        << "the library's own reason: " << read_file(log);
    tcp_client client;
    ASSERT_TRUE(client.send_bytes({0x60}));
    message_type reply;
    ASSERT_TRUE(read_message(client, reply, std::chrono::seconds(2)));
    EXPECT_EQ(reply.type, 0x90);
    EXPECT_FALSE(read_message(client, reply, std::chrono::milliseconds(300))) << "no capture, no image";
    EXPECT_TRUE(program->running());
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

TEST(CapturePipeline, ASourceThatEndsIsReportedOnceAndComesBack)
{
    temp_folder folder;
    folder.write("config.txt", "camera_pipeline videotestsrc is-live=true num-buffers=60 ! "
                               "video/x-raw,width=160,height=120,framerate=30/1\n");
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_for_line(log, "Camera - Capture lost: the source ended; retrying every 2 s")) << read_file(log);
    ASSERT_TRUE(wait_for_line(log, "Camera - Capture running again", std::chrono::seconds(5))) << read_file(log);
    EXPECT_EQ(count_lines_containing(log, "Camera - Capture lost"), 1) << "one loss, one line";
    tcp_client client;
    ASSERT_TRUE(client.send_bytes({0x60}));
    message_type message;
    ASSERT_TRUE(read_message(client, message, std::chrono::seconds(2)));
    ASSERT_TRUE(read_message(client, message, std::chrono::seconds(2))) << "the rebuilt source answers";
    expect_image(message, 160, 120);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

TEST(CapturePipeline, TheSerialCamerasPicturesReachTheOperator)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    temp_folder folder;
    process sim({sim_binary(), "--write-config", folder.path(), "--no-stdin", "--quiet", "--camera-rate", "4"},
                folder.path());
    ASSERT_TRUE(wait_until([&] { return !read_file(folder.file("config.txt")).empty(); }));
    std::ofstream(folder.file("config.txt"), std::ios::app) << "camera_pipeline serial\n";
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_for_line(log, "Image Complete")) << read_file(log);
    tcp_client client;
    ASSERT_TRUE(client.send_bytes({0x60}));
    message_type message;
    ASSERT_TRUE(read_message(client, message, std::chrono::seconds(2)));
    EXPECT_EQ(message.type, 0x90);
    ASSERT_TRUE(read_message(client, message, std::chrono::seconds(2)));
    expect_image(message, 160, 120);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

// With a capture and the fleet link alone (no console, no recorder), the capture's picture reaches the
// broker: the fleet subscribes to the camera like everyone else.
TEST(CapturePipeline, TheCapturesPictureReachesTheBrokerWithOnlyTheFleetLink)
{
    if (access("/usr/sbin/mosquitto", X_OK) != 0)
        GTEST_SKIP() << "mosquitto is not there";
    temp_folder folder;
    broker mqtt(folder);
    folder.write("config.txt", "camera_pipeline " + test_source + "\nmqtt_broker mqtt://127.0.0.1:" +
                                   std::to_string(mqtt.port) + "\nrobot_name rover\n");
    auto program = start_quillon(folder);
    ASSERT_TRUE(wait_for_line(folder.file("log.txt"), "Fleet: on the broker")) << read_file(folder.file("log.txt"));
    std::string picture = mqtt.next_message("quillon/rover/picture", 15);
    ASSERT_GE(picture.size(), 3u) << "no picture on the broker";
    EXPECT_EQ(static_cast<unsigned char>(picture[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(picture[1]), 0xD8) << "not a JPEG";
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

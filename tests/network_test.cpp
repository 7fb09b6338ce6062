// The operator link: its message parser, and the link driven through a socket pair.
#include "net/network.h"

#include "services/log.h"
#include "platform/messages.h"
#include "robot/motion.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

bytes control(unsigned char flags, unsigned char left, unsigned char right, unsigned char aux1 = 0x80,
              unsigned char aux2 = 0x80)
{
    return {0x30, 0x00, flags, left, right, aux1, aux2, 0x00};
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Every complete message the chunk yields, as the type byte followed by the record for a control message.
std::vector<bytes> feed(network_parser_type& parser, const unsigned char* data, size_t length)
{
    std::vector<bytes> messages;
    unsigned int position = 0;
    network_request_type request;
    while (network_parser_next(parser, data, static_cast<unsigned int>(length), position, request)) {
        bytes message{request.type};
        if (request.type == network_control_byte)
            message.insert(message.end(), request.record, request.record + network_record_length);
        messages.push_back(message);
    }
    EXPECT_EQ(position, length);
    EXPECT_LE(parser.pending_length, 7u);
    return messages;
}

std::vector<bytes> feed(network_parser_type& parser, const bytes& chunk)
{
    return feed(parser, chunk.data(), chunk.size());
}

} // namespace

TEST(NetworkParser, WholeControlMessageGivesItsRecord)
{
    network_parser_type parser;
    bytes message = control(0x03, 0x40, 0x41, 0x12, 0x34);
    auto messages = feed(parser, message);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], message);
    EXPECT_EQ(parser.pending_length, 0u);
}

TEST(NetworkParser, ControlMessageSplitAtEveryOffsetIsCompletedOnce)
{
    // Record bytes that are message types themselves: read as new messages they would be phantoms.
    bytes message{0x30, 0x60, 0x30, 0x30, 0x60, 0x30, 0x60, 0x30};
    for (size_t first = 1; first < message.size(); first++) {
        for (size_t second = first; second < message.size(); second++) {
            network_parser_type parser;
            EXPECT_TRUE(feed(parser, message.data(), first).empty()) << first;
            EXPECT_TRUE(feed(parser, message.data() + first, second - first).empty()) << first << "," << second;
            auto messages = feed(parser, message.data() + second, message.size() - second);
            ASSERT_EQ(messages.size(), 1u) << first << "," << second;
            EXPECT_EQ(messages[0], message);
        }
    }
}

TEST(NetworkParser, MessagesInOneChunkComeOutInOrderAndStrayBytesAreSkipped)
{
    network_parser_type parser;
    bytes first = control(0x00, 1, 2);
    bytes second = control(0x01, 3, 4);
    bytes third = control(0x02, 5, 6);
    auto messages = feed(parser, join({first, second, third}));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], first);
    EXPECT_EQ(messages[1], second);
    EXPECT_EQ(messages[2], third);

    messages = feed(parser, join({{0x00, 'x', 0xFF}, first, {0x60}, {0x90, 0x5F, 0x61}, second, {0x31}}));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], first);
    EXPECT_EQ(messages[1], bytes{0x60});
    EXPECT_EQ(messages[2], second);

    EXPECT_TRUE(feed(parser, bytes{'h', 'e', 'l', 'l', 'o', 0x00, 0xFF, 0x90, 0x2F, 0x31, 0x5F, 0x61}).empty());
    EXPECT_EQ(parser.pending_length, 0u);
}

TEST(NetworkParser, TypeBytesInsideARecordAreData)
{
    network_parser_type parser;
    bytes message{0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30};
    bytes images{0x30, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60};
    auto messages = feed(parser, join({message, images, {0x60}}));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], message);
    EXPECT_EQ(messages[1], images);
    EXPECT_EQ(messages[2], bytes{0x60});
}

TEST(NetworkParser, ByteByByteFeedingGivesEachMessageOnceAndResetForgetsTheRest)
{
    network_parser_type parser;
    bytes stream = join({control(0x03, 0x30, 0x60), {0x60, 0x07}, control(0x00, 9, 9)});
    std::vector<bytes> messages;
    for (unsigned char byte : stream)
        for (const bytes& message : feed(parser, &byte, 1))
            messages.push_back(message);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], control(0x03, 0x30, 0x60));
    EXPECT_EQ(messages[1], bytes{0x60});
    EXPECT_EQ(messages[2], control(0x00, 9, 9));

    EXPECT_TRUE(feed(parser, bytes{0x30, 0x00, 0x01}).empty());
    EXPECT_EQ(parser.pending_length, 3u);
    network_parser_reset(parser);
    // After the reset the tail of the old message is data again, and the image request in it counts.
    messages = feed(parser, bytes{0x02, 0x60, 0x00});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], bytes{0x60});
}

TEST(NetworkParser, RandomSplitsGiveTheSameMessagesAsOneChunk)
{
    std::mt19937 random(4);
    for (int round = 0; round < 200; round++) {
        bytes stream;
        std::vector<bytes> sent;
        for (int i = 0; i < 40; i++) {
            int kind = static_cast<int>(random() % 3);
            if (kind == 0) {
                bytes message{0x30};
                for (int j = 0; j < 7; j++)
                    message.push_back(static_cast<unsigned char>(random() % 2 ? 0x30 : random() % 256));
                sent.push_back(message);
                stream.insert(stream.end(), message.begin(), message.end());
            } else if (kind == 1) {
                sent.push_back({0x60});
                stream.push_back(0x60);
            } else {
                unsigned char stray = static_cast<unsigned char>(random() % 256);
                if (stray != 0x30 && stray != 0x60)
                    stream.push_back(stray);
            }
        }
        network_parser_type parser;
        std::vector<bytes> received;
        for (size_t at = 0; at < stream.size();) {
            size_t piece = std::min(stream.size() - at, static_cast<size_t>(1 + random() % 12));
            for (const bytes& message : feed(parser, stream.data() + at, piece))
                received.push_back(message);
            at += piece;
        }
        ASSERT_EQ(received, sent) << "round " << round;
        EXPECT_EQ(parser.pending_length, 0u);
    }
}

namespace {

// The link holding one end of a socket pair; the test plays the client on the other end.
class NetworkLink : public testing::Test {
protected:
    void SetUp() override
    {
        log_path = testing::TempDir() + std::to_string(getpid()) + "_network_link_log.txt";
        std::remove(log_path.c_str());  // the log opens at its first line: no line from an earlier test stays
        log_restart(log_path.c_str());
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        client = ends[0];
        motion_reset();
        network_attach_client(ends[1], now);
    }

    void TearDown() override
    {
        network_stop();
        if (client >= 0)
            close(client);
        robot.reset_control();
    }

    void send(const bytes& data) { ASSERT_EQ(write(client, data.data(), data.size()), ssize_t(data.size())); }

    // Everything the link has sent so far.
    bytes replies()
    {
        bytes all;
        pollfd p{client, POLLIN, 0};
        while (poll(&p, 1, 20) > 0) {
            unsigned char buffer[4096];
            ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0)
                break;
            all.insert(all.end(), buffer, buffer + n);
        }
        return all;
    }

    int log_count(const std::string& text)
    {
        std::ifstream in(log_path);
        int count = 0;
        for (std::string line; std::getline(in, line);)
            count += line.find(text) != std::string::npos;
        return count;
    }

    std::string log_path;
    int client = -1;
    double now = 0.0;  // the link's clock: tests pass time on instead of waiting
};

} // namespace

TEST_F(NetworkLink, ControlMessageIsAppliedAndGetsOneTelemetryReply)
{
    EXPECT_TRUE(remote_mode);
    send(control(0x03, 0x40, 0x41, 0x12, 0x34));
    network_read(now);
    bytes reply = replies();
    ASSERT_EQ(reply.size(), 21u);
    EXPECT_EQ(reply[0], 0x90);
    EXPECT_EQ((bytes{reply[1], reply[2], reply[3], reply[4]}), (bytes{0xFF, 0x00, 0xFF, 0x00}));
    for (size_t i = 11; i < 21; i++)
        EXPECT_EQ(reply[i], 0) << i;
    control_type applied;
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 64.0);
    EXPECT_EQ(applied.right_target, 65.0);
    EXPECT_TRUE(applied.left_reverse);
    EXPECT_TRUE(applied.right_reverse);
    EXPECT_EQ(applied.aux1, 0x12);
    EXPECT_EQ(applied.aux2, 0x34);
}

TEST_F(NetworkLink, EachMessageOfAChunkGetsItsOwnReplyAndStrayBytesNone)
{
    send(join({control(0, 1, 1), control(0, 2, 2), control(0, 3, 3)}));
    network_read(now);
    EXPECT_EQ(replies().size(), 3 * 21u);
    send(join({control(0, 4, 4), {0x60}}));
    network_read(now);
    EXPECT_EQ(replies().size(), 2 * 21u);
    send({'h', 'e', 'l', 'l', 'o', 0x00, 0xFF, 0x90});
    network_read(now);
    EXPECT_TRUE(replies().empty());
    control_type applied;
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 4.0);
}

TEST_F(NetworkLink, MessageSplitBetweenReceivesIsAnsweredOnceWithTheWholeRecord)
{
    bytes message = control(0x01, 0x30, 0x60, 0x30, 0x60);
    for (size_t split = 1; split < message.size(); split++) {
        robot.reset_control();
        send(bytes(message.begin(), message.begin() + split));
        network_read(now);
        EXPECT_TRUE(replies().empty()) << split;
        send(bytes(message.begin() + split, message.end()));
        network_read(now);
        EXPECT_EQ(replies().size(), 21u) << split;
        control_type applied;
        robot.get_control(&applied);
        EXPECT_EQ(applied.left_target, 48.0) << split;
        EXPECT_EQ(applied.right_target, 96.0) << split;
        EXPECT_TRUE(applied.left_reverse) << split;
    }
}

TEST_F(NetworkLink, DisconnectStopsTheRobotFreesTheSlotAndForgetsTheUnfinishedMessage)
{
    send(control(0, 100, 100));
    network_read(now);
    send({0x30, 0x00});
    network_read(now);
    replies();
    network_message(0, FD_CLOSE);
    EXPECT_EQ(log_count("Client disconnect"), 1);
    EXPECT_FALSE(remote_mode);
    control_type applied;
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 0.0);
    EXPECT_EQ(applied.aux1, 128);
    unsigned char byte;
    EXPECT_EQ(read(client, &byte, 1), 0);  // the link closed its end

    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    close(client);
    client = ends[0];
    network_attach_client(ends[1], now);
    EXPECT_TRUE(remote_mode);
    // Six bytes that would have completed the old client's message are stray bytes for the new one.
    send({0x00, 0x10, 0x10, 0x80, 0x80, 0x00});
    network_read(now);
    EXPECT_TRUE(replies().empty());
}

// The neutral state from a second of silence until the next control message, the line once per silence.
TEST_F(NetworkLink, SilentClientIsStoppedAndReportedOncePerSilence)
{
    send(control(0, 50, 50));
    network_read(now);
    motion_check(now += 1.0);
    EXPECT_EQ(log_count("Client data Timeout"), 0);
    send({0x60});  // image requests do not count as data
    network_read(now += 0.05);
    control_type applied;
    for (int check = 0; check < 5; check++) {
        motion_check(now += 0.01);
        robot.get_control(&applied);
        EXPECT_EQ(applied.left_target, 0.0) << "check " << check;
    }
    EXPECT_EQ(log_count("Client data Timeout"), 1);
    send(control(0, 50, 50));  // ends the silence
    network_read(now);
    motion_check(now);
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 50.0);
    motion_check(now += 1.05);
    motion_check(now += 0.01);
    EXPECT_EQ(log_count("Client data Timeout"), 2);  // the next silence says it again
    EXPECT_EQ(replies().size(), 3 * 21u);
}

// A client that reads slowly while an image is on its way: the rest of the image waits without holding up
// anyone, replies queue behind it whole, a newer image is dropped, and the stream stays whole. A client
// that leaves a pile of replies unread while it goes on sending is dropped.
TEST_F(NetworkLink, ASlowReaderLosesImagesNeverReplies)
{
    send(control(0, 70, 70));
    network_read(now);
    bytes image(512 * 1024, 0x60);
    EXPECT_FALSE(network_send(image.data(), static_cast<unsigned int>(image.size())));  // part of it went
    EXPECT_GT(network_backlog_size(), 0u);
    EXPECT_TRUE(network_send(image.data(), 1000)) << "a newer image waits for no rest";
    send(control(0, 80, 80));
    network_read(now);  // its reply queues behind the image
    bytes got;
    while (got.size() < 21 + image.size() + 21) {
        bytes more = replies();
        ASSERT_FALSE(more.empty() && network_backlog_size() == 0) << "lost " << 21 + image.size() + 21 - got.size();
        got.insert(got.end(), more.begin(), more.end());
        network_check(now);  // the tick sends what the socket has room for now
    }
    EXPECT_EQ(got.size(), 21 + image.size() + 21);
    EXPECT_EQ(got[0], 0x90);
    EXPECT_TRUE(std::all_of(got.begin() + 21, got.end() - 21, [](unsigned char b) { return b == 0x60; }));
    EXPECT_EQ(got[21 + image.size()], 0x90);
    EXPECT_TRUE(remote_mode);
    control_type applied;
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 80.0);

    for (int i = 0; i < 100000 && log_count("Client disconnect") == 0; i++) {
        send(control(0, 80, 80));  // and never reads
        network_read(now);
        network_check(now);
    }
    EXPECT_EQ(log_count("Client disconnect"), 1);
    EXPECT_FALSE(remote_mode);
}

TEST_F(NetworkLink, AfterAFailedSendTheClientStillDrivesAndItsSilenceStillStopsTheRobot)
{
    ASSERT_EQ(shutdown(client, SHUT_RD), 0);  // the link's sends now fail
    send(control(0, 70, 70));
    network_read(now);
    motion_apply(now);
    control_type applied;
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 0.0);  // the failed reply stopped the robot
    send(control(0, 80, 80));
    network_read(now += 0.1);  // still parsed and applied
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 80.0);
    motion_apply(now);  // its reply failed as well and stops the robot again
    robot.get_control(&applied);
    EXPECT_EQ(applied.left_target, 0.0);
    EXPECT_TRUE(remote_mode);
    motion_check(now += 1.05);
    EXPECT_EQ(log_count("Client data Timeout"), 1);
    EXPECT_TRUE(network_send(bytes{0x60}.data(), 1));
}

TEST(NetworkConcurrency, SendsFromTwoThreadsNeverInterleave)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    int room = 1 << 20;
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    network_attach_client(ends[1], 0.0);
    constexpr int rounds = 300;
    bytes image(1000, 0x60);  // an image message's size and type byte; its content does not matter here
    bytes stream;
    std::thread reader([&] {
        unsigned char buffer[8192];
        for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
            stream.insert(stream.end(), buffer, buffer + n);
    });
    int images_sent = 0;
    std::thread camera_side([&] {
        for (int i = 0; i < rounds; i++)
            images_sent += !network_send(image.data(), static_cast<unsigned int>(image.size()));
    });
    for (int i = 0; i < rounds; i++)
        network_send_telemetry();
    camera_side.join();
    while (network_backlog_size() > 0)
        network_check(0.0);  // the reader takes the rest
    network_stop();  // closes the link's end: the reader sees the end of the stream
    reader.join();
    close(ends[0]);

    // An image that found a rest waiting was dropped whole; every message that went out must be whole.
    int images = 0, telemetry = 0;
    for (size_t at = 0; at < stream.size();) {
        if (stream[at] == 0x90) {
            ASSERT_LE(at + 21, stream.size());
            telemetry++;
            at += 21;
            continue;
        }
        ASSERT_EQ(stream[at], 0x60) << "a message was cut at byte " << at;
        ASSERT_LE(at + image.size(), stream.size());
        for (size_t i = 0; i < image.size(); i++)
            ASSERT_EQ(stream[at + i], 0x60) << "a telemetry message landed inside an image at " << at + i;
        images++;
        at += image.size();
    }
    EXPECT_EQ(images, images_sent);
    EXPECT_GT(images, 0);
    EXPECT_GT(telemetry, 0);
}

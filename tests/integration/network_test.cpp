// The operator link of the real program over loopback: replies, splits, the single client slot, the data
// time-out, disconnects, and a port that is already taken.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>

using namespace integration;

namespace {

using bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;

const bytes idle_telemetry{0x90, 0xFF, 0x00, 0xFF, 0x00, 0, 0, 0, 0, 0, 0,
                           0,    0,    0,    0,    0,    0, 0, 0, 0, 0};

// True when exactly `count` telemetry replies arrive and nothing after them.
::testing::AssertionResult replies(tcp_client& client, size_t count)
{
    bytes got = client.receive(21 * count);
    if (got.size() != 21 * count)
        return ::testing::AssertionFailure() << "got " << got.size() << " bytes, expected " << 21 * count;
    for (size_t i = 0; i < got.size(); i++)
        if (got[i] != idle_telemetry[i % 21])
            return ::testing::AssertionFailure() << "byte " << i << " is " << int(got[i]);
    bytes extra = client.receive(1, milliseconds(200));
    if (!extra.empty())
        return ::testing::AssertionFailure() << "an extra reply arrived";
    return ::testing::AssertionSuccess();
}

// Seconds of the first log line that contains the text, or a negative value.
double log_time(const std::string& log, const std::string& text)
{
    for (const std::string& line : read_lines(log))
        if (line.find(text) != std::string::npos)
            return std::atof(line.c_str() + 1);
    return -1.0;
}

// A pseudo-terminal that stands in for the robot's serial port: the program writes its controller
// commands into it, and the test reads them back.
class motor_bus {
public:
    explicit motor_bus(const temp_folder& folder)
    {
        char name[64] = "";
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        std::string port = name;
        folder.write("config.txt", "serial_port " + port.substr(port.find("pts/")) + "\n");
    }
    ~motor_bus()
    {
        if (master >= 0)
            close(master);
        if (slave >= 0)
            close(slave);
    }
    bool ready() const { return master >= 0; }

    // The motor bytes L L R R of the newest controller command that satisfies the condition.
    template <class F> std::optional<bytes> wait_for_command(F condition, milliseconds limit = milliseconds(6000))
    {
        std::optional<bytes> found;
        wait_until([&] {
            read_commands([&](const bytes& motors) {
                if (condition(motors))
                    found = motors;
            });
            return found.has_value();
        }, limit);
        return found;
    }

private:
    template <class F> void read_commands(F each)
    {
        unsigned char buffer[4096];
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            stream.insert(stream.end(), buffer, buffer + n);
        // Device 1, 8 payload bytes, then the 8-bit sum of the ten bytes before it.
        size_t at = 0;
        while (at + 11 <= stream.size()) {
            unsigned int sum = 0;
            for (size_t i = 0; i < 10; i++)
                sum += stream[at + i];
            if (stream[at] == 0x01 && stream[at + 1] == 0x08 && (sum & 0xFF) == stream[at + 10]) {
                each(bytes(stream.begin() + at + 2, stream.begin() + at + 6));
                at += 11;
            } else {
                at++;
            }
        }
        stream.erase(stream.begin(), stream.begin() + at);
    }

    int master = -1;
    int slave = -1;
    bytes stream;
};

// Sends the control message every 100 ms (so the link never times out) until the bus shows a command
// that satisfies the condition.
template <class F> std::optional<bytes> drive_until(tcp_client& client, motor_bus& bus, const bytes& message, F condition)
{
    std::optional<bytes> found;
    for (int i = 0; i < 60 && !found; i++) {
        client.send_bytes(message);
        client.receive(21);
        found = bus.wait_for_command(condition, milliseconds(100));
    }
    return found;
}

class OperatorLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        program = start_quillon(folder);
        ASSERT_TRUE(wait_for_line(log, "Network Online")) << read_file(log);
    }

    void TearDown() override
    {
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(), 0);
    }

    // A client whose accept the log has shown.
    std::unique_ptr<tcp_client> connect_client()
    {
        int before = count_lines_containing(log, "Connection from: 127.0.0.1");
        auto client = std::make_unique<tcp_client>();
        EXPECT_TRUE(client->connected());
        EXPECT_TRUE(wait_until([&] { return count_lines_containing(log, "Connection from: 127.0.0.1") > before; }));
        return client;
    }

    temp_folder folder;
    std::string log = folder.file("log.txt");
    std::unique_ptr<process> program;
};

} // namespace

TEST_F(OperatorLink, ControlMessageGetsOneTelemetryReply)
{
    auto client = connect_client();
    ASSERT_TRUE(client->send_bytes(control_message(0x03, 0x40, 0x40)));
    EXPECT_TRUE(replies(*client, 1));
    ASSERT_TRUE(client->send_bytes({0x60}));
    EXPECT_TRUE(replies(*client, 1));
}

TEST_F(OperatorLink, MessagesInOneSendGetOneReplyEachAndStrayBytesNone)
{
    auto client = connect_client();
    bytes three;
    for (int i = 0; i < 3; i++) {
        bytes message = control_message(0x00, static_cast<unsigned char>(10 * i), 0x20);
        three.insert(three.end(), message.begin(), message.end());
    }
    ASSERT_TRUE(client->send_bytes(three));
    EXPECT_TRUE(replies(*client, 3));

    bytes with_image = control_message(0x00, 0x20, 0x20);
    with_image.push_back(0x60);
    ASSERT_TRUE(client->send_bytes(with_image));
    EXPECT_TRUE(replies(*client, 2));

    ASSERT_TRUE(client->send_bytes({'h', 'e', 'l', 'l', 'o', 0x00, 0xFF, 0x90, 0x31, 0x5F}));
    EXPECT_TRUE(replies(*client, 0));
}

TEST_F(OperatorLink, TypeBytesInsideARecordAreData)
{
    auto client = connect_client();
    ASSERT_TRUE(client->send_bytes({0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30}));
    EXPECT_TRUE(replies(*client, 1));
    ASSERT_TRUE(client->send_bytes({0x30, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60}));
    EXPECT_TRUE(replies(*client, 1));
}

TEST_F(OperatorLink, MessageSplitAtEveryOffsetIsAnsweredOnce)
{
    auto client = connect_client();
    bytes message{0x30, 0x60, 0x01, 0x30, 0x60, 0x30, 0x60, 0x30};
    for (size_t split = 1; split < message.size(); split++) {
        ASSERT_TRUE(client->send_bytes(bytes(message.begin(), message.begin() + split)));
        EXPECT_TRUE(client->receive(1, milliseconds(100)).empty()) << "a reply to half a message at " << split;
        ASSERT_TRUE(client->send_bytes(bytes(message.begin() + split, message.end())));
        EXPECT_TRUE(replies(*client, 1)) << "split at " << split;
    }
}

TEST_F(OperatorLink, SecondClientIsRefusedWhileTheFirstKeepsWorking)
{
    auto first = connect_client();
    tcp_client second;
    ASSERT_TRUE(second.connected());
    EXPECT_TRUE(second.closed_by_peer());
    EXPECT_TRUE(wait_for_line(log, "Another client attempted to connect"));
    EXPECT_EQ(count_lines_containing(log, "Connection from:"), 1);
    ASSERT_TRUE(first->send_bytes(control_message(0x00, 0x10, 0x10)));
    EXPECT_TRUE(replies(*first, 1));
}

TEST_F(OperatorLink, ClientSendingOnlyImageRequestsTimesOutAfterASecond)
{
    auto client = connect_client();
    for (int i = 0; i < 8; i++) {
        ASSERT_TRUE(client->send_bytes({0x60}));
        ASSERT_EQ(client->receive(21).size(), 21u);
        std::this_thread::sleep_for(milliseconds(100));
    }
    ASSERT_TRUE(wait_for_line(log, "Client data Timeout", milliseconds(3000)));
    double connected = log_time(log, "Connection from:");
    double timed_out = log_time(log, "Client data Timeout");
    EXPECT_GT(timed_out - connected, 1.0);
    EXPECT_LT(timed_out - connected, 3.0);
    // The line comes once per silence, though the robot is held neutral on every tick (unit-tested).
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(count_lines_containing(log, "Client data Timeout"), 1);
    ASSERT_TRUE(client->send_bytes(control_message(0x00, 0x10, 0x10)));
    ASSERT_EQ(client->receive(21).size(), 21u);
    // A control message ends the silence; the next one says so again.
    ASSERT_TRUE(wait_until([&] { return count_lines_containing(log, "Client data Timeout") == 2; }, milliseconds(3000)));
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(count_lines_containing(log, "Client data Timeout"), 2);
}

namespace {

// The lowest descriptor number the process has free: with its limit set there, it can open nothing more.
int lowest_free_descriptor(pid_t pid)
{
    std::set<int> used;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        used.insert(std::stoi(entry.path().filename().string()));
    int free = 0;
    while (used.count(free))
        free++;
    return free;
}

// Connects and lets go again and again until told to stop, as a client that keeps trying would.
void knock(const std::atomic<bool>& stop)
{
    while (!stop) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(32459);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        std::this_thread::sleep_for(milliseconds(5));
        close(fd);
    }
}

} // namespace

// The descriptors used up (as under a low ulimit -n): a connection that cannot be accepted stays waiting,
// and the link must not be woken for it at once again and again. It looks again a quarter of a second
// later, and says so once each time; the held client is served throughout.
TEST_F(OperatorLink, WithTheDescriptorsUsedUpAKnockingClientCostsAFewLinesAndTheHeldClientIsServed)
{
    auto held = connect_client();
    ASSERT_TRUE(held->send_bytes(control_message(0x00, 0x20, 0x20)));
    ASSERT_TRUE(replies(*held, 1));
    rlimit old_limit{};
    ASSERT_EQ(prlimit(program->pid(), RLIMIT_NOFILE, nullptr, &old_limit), 0);
    auto use_up_descriptors = [&] {
        rlimit low = old_limit;
        low.rlim_cur = static_cast<rlim_t>(lowest_free_descriptor(program->pid()));
        return prlimit(program->pid(), RLIMIT_NOFILE, &low, nullptr) == 0;
    };
    ASSERT_TRUE(use_up_descriptors());

    // Knocks until the link has looked again a few times; the pause between looks bounds the lines.
    auto knock_until = [&](const char* line, int times) {
        std::atomic<bool> stop{false};
        std::thread knocker(knock, std::cref(stop));
        auto start = std::chrono::steady_clock::now();
        bool seen = wait_until([&] { return count_lines_containing(log, line) >= times; });
        stop = true;
        knocker.join();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_TRUE(seen) << line;
        EXPECT_LE(count_lines_containing(log, line), static_cast<int>(seconds / 0.25) + 3) << line;
    };
    size_t before = read_lines(log).size();
    std::atomic<int> served{0};
    std::atomic<bool> serving{true};
    bool lost = false;
    std::thread driver([&] {
        while (serving && !lost) {
            lost = !held->send_bytes(control_message(0x00, 0x20, 0x20)) || held->receive(21).size() != 21;
            served++;
            std::this_thread::sleep_for(milliseconds(10));  // a driver's pace, not a wait
        }
    });
    knock_until("Another client attempted to connect", 4);
    int served_while_knocking = served;
    EXPECT_TRUE(wait_until([&] { return served > served_while_knocking; })) << "the held client is still served";
    serving = false;
    driver.join();
    EXPECT_FALSE(lost) << "a message went unanswered";
    EXPECT_LT(read_lines(log).size() - before, 100u);

    // No client held: the waiting connection cannot be accepted, once per pause.
    held->close();
    ASSERT_TRUE(wait_for_line(log, "Client disconnect"));
    ASSERT_TRUE(use_up_descriptors());  // the held client's descriptor is free again
    knock_until("Accept error.", 2);

    // Descriptors again: the next client is taken once the pause is over.
    ASSERT_EQ(prlimit(program->pid(), RLIMIT_NOFILE, &old_limit, nullptr), 0);
    EXPECT_TRUE(wait_until([&] {
        tcp_client next(32459);
        return next.send_bytes(control_message(0x00, 0x20, 0x20)) && next.receive(21, milliseconds(500)).size() == 21;
    }));
}

TEST_F(OperatorLink, DisconnectFreesTheSlotForANewClient)
{
    auto first = connect_client();
    ASSERT_TRUE(first->send_bytes(control_message(0x00, 0x40, 0x40)));
    ASSERT_TRUE(replies(*first, 1));
    ASSERT_TRUE(first->send_bytes({0x30, 0x00, 0x00}));  // an unfinished message, forgotten with its client
    first->close();
    EXPECT_TRUE(wait_for_line(log, "Client disconnect"));
    auto second = connect_client();
    EXPECT_EQ(count_lines_containing(log, "Connection from: 127.0.0.1"), 2);
    ASSERT_TRUE(second->send_bytes({0x40, 0x40, 0x80, 0x80, 0x00}));
    EXPECT_TRUE(replies(*second, 0));
    ASSERT_TRUE(second->send_bytes(control_message(0x00, 0x40, 0x40)));
    EXPECT_TRUE(replies(*second, 1));
    EXPECT_EQ(count_lines_containing(log, "Another client attempted to connect"), 0);
}

TEST(OperatorLinkMotors, ControlMessagesDriveTheMotorsAndADisconnectStopsThem)
{
    temp_folder folder;
    motor_bus bus(folder);
    ASSERT_TRUE(bus.ready());
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    ASSERT_TRUE(wait_for_line(log, "Network Online"));
    tcp_client client;
    ASSERT_TRUE(wait_for_line(log, "Connection from: 127.0.0.1"));

    // Left backwards, right forwards, both at 64: the left motor byte rises above 128 and so does the right.
    auto turning = drive_until(client, bus, control_message(0x01, 0x40, 0x40), [](const bytes& m) {
        return m[0] >= 128 + 56 && m[2] >= 128 + 56;
    });
    ASSERT_TRUE(turning.has_value()) << "the command never reached the motors";
    EXPECT_LE((*turning)[0], 128 + 64);
    EXPECT_LE((*turning)[2], 128 + 64);

    // Split at every offset: each piece pair is one message, so the robot turns the other way.
    bytes other_way = control_message(0x02, 0x30, 0x30);
    for (size_t split = 1; split < other_way.size(); split++) {
        client.send_bytes(bytes(other_way.begin(), other_way.begin() + split));
        std::this_thread::sleep_for(milliseconds(20));
        client.send_bytes(bytes(other_way.begin() + split, other_way.end()));
        ASSERT_EQ(client.receive(21).size(), 21u);
        EXPECT_TRUE(client.receive(1, milliseconds(50)).empty());
    }
    auto reversed = drive_until(client, bus, other_way, [](const bytes& m) { return m[0] < 128 - 40 && m[2] < 128 - 40; });
    EXPECT_TRUE(reversed.has_value()) << "the split message was not applied as one record";

    client.close();
    ASSERT_TRUE(wait_for_line(log, "Client disconnect"));
    auto neutral = bus.wait_for_command([](const bytes& m) { return m == bytes{0x80, 0x80, 0x80, 0x80}; });
    EXPECT_TRUE(neutral.has_value()) << "the robot did not stop after the disconnect";

    tcp_client again;
    EXPECT_TRUE(wait_until([&] { return count_lines_containing(log, "Connection from: 127.0.0.1") == 2; }));
    ASSERT_TRUE(again.send_bytes(control_message(0x00, 0x40, 0x40)));
    EXPECT_EQ(again.receive(21).size(), 21u);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

TEST(OperatorLinkStart, PortInUseGivesUnableToBindAndTheProgramRunsOn)
{
    int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(holder, 0);
    int one = 1;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(32459);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 4), 0);

    temp_folder folder;
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    EXPECT_TRUE(wait_for_line(log, "Unable to bind"));
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_TRUE(program->running());
    EXPECT_EQ(count_lines_containing(log, "Network Online"), 0);
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
    EXPECT_EQ(count_lines_containing(log, "Network - Stop"), 1);
    close(holder);
}

TEST(OperatorLinkStart, RestartedServerListensAtOnceAfterDroppingItsClient)
{
    temp_folder first_folder;
    auto first = start_quillon(first_folder);
    ASSERT_TRUE(wait_for_line(first_folder.file("log.txt"), "Network Online"));
    tcp_client client;
    ASSERT_TRUE(wait_for_line(first_folder.file("log.txt"), "Connection from:"));
    // The server closes first, which leaves its side of the connection waiting on the port.
    first->signal(SIGTERM);
    ASSERT_EQ(first->wait(), 0);

    temp_folder second_folder;
    auto second = start_quillon(second_folder);
    EXPECT_TRUE(wait_for_line(second_folder.file("log.txt"), "Network Online")) << read_file(second_folder.file("log.txt"));
    second->signal(SIGTERM);
    EXPECT_EQ(second->wait(), 0);
}

// listen_address keeps the link to one address: on 127.0.0.1 a client reaching 127.0.0.2 (the same
// machine, another address) is refused. An address that is not a dotted IPv4 one keeps the link down.
TEST(OperatorLinkStart, ListenAddressBindsTheLinkToOneAddressAndABadOneIsReported)
{
    auto connects_to = [](const char* text) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(32459);
        inet_pton(AF_INET, text, &address.sin_addr);
        bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(fd);
        return connected;
    };
    {
        temp_folder folder;
        folder.write("config.txt", "listen_address 127.0.0.1\n");
        auto program = start_quillon(folder);
        std::string log = folder.file("log.txt");
        ASSERT_TRUE(wait_for_line(log, "Network Online")) << read_file(log);
        EXPECT_EQ(count_lines_containing(log, "Network - Listening on 127.0.0.1 only"), 1);
        EXPECT_FALSE(connects_to("127.0.0.2"));
        EXPECT_TRUE(connects_to("127.0.0.1"));
        EXPECT_TRUE(wait_for_line(log, "Connection from: 127.0.0.1"));
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(), 0);
    }
    temp_folder folder;
    folder.write("config.txt", "listen_address localhost\n");
    auto program = start_quillon(folder);
    std::string log = folder.file("log.txt");
    EXPECT_TRUE(wait_for_line(log, "Unable to bind: listen_address localhost is not an IPv4 address"));
    EXPECT_EQ(count_lines_containing(log, "Network Online"), 0);
    EXPECT_FALSE(connects_to("127.0.0.1"));
    EXPECT_TRUE(program->running());
    program->signal(SIGTERM);
    EXPECT_EQ(program->wait(), 0);
}

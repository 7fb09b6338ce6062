// The receive parser, the packet framing and the serial port worker on a real pseudo-terminal.
#include "bus/serial.h"

#include "services/taps.h"

#include "services/time.h"
#include "bus_support.h"
#include "platform/serial_port.h"
#include "pty_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

using namespace bus_test;

namespace {

// Feeds a batch as the reading thread does: the rest of the batch is dropped once the parser asks for it.
// Returns how many bytes the parser took.
size_t feed(serial_class& parser, const std::vector<unsigned char>& batch)
{
    for (size_t i = 0; i < batch.size(); i++)
        if (parser.process_byte(batch[i]) != 0)
            return i + 1;
    return batch.size();
}

std::vector<unsigned char> text_packet(const std::string& text)
{
    return device_packet(15, std::vector<unsigned char>(text.begin(), text.end()));
}

const std::vector<unsigned char> neutral_command{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0};

} // namespace

TEST(SerialParser, SmallestDeviceOnePacketIsCutAndHandedOnWithItsPayloadLength)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    EXPECT_EQ(feed(parser, {0x04, 0x01, 0x2A, 0x2F}), 4u);
    EXPECT_EQ(parser.packet_state.load(), 0);
    // The controller exchange got one payload byte, too short to decode, and said so.
    EXPECT_TRUE(log.has("Controller - Telemetry payload too short: 1 bytes, ignored"));
    EXPECT_EQ(log.count_starting("Invalid packet checksum"), 0);
}

TEST(SerialParser, LengthByteOfThreeIsRefusedAndFourStartsAPacket)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    EXPECT_EQ(parser.process_byte(3), 1);
    EXPECT_EQ(newest_message_line(), "Serial - Invalid packet size");
    EXPECT_EQ(parser.packet_state.load(), 0);
    EXPECT_EQ(parser.process_byte(0), 1);
    EXPECT_EQ(parser.process_byte(4), 0);
    EXPECT_EQ(parser.packet_state.load(), 1);
    EXPECT_EQ(parser.packet_length, 4u);
    EXPECT_EQ(parser.packet_count, 1u);
}

TEST(SerialParser, TwoPacketsInOneBatchAreDispatchedInOrderAndDeviceFifteenTextIsShownVerbatim)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    std::vector<unsigned char> batch{0x05, 0x0F, 0x68, 0x69, 0xE5};  // "hi"
    std::vector<unsigned char> second = text_packet("100% %s %n done");
    batch.insert(batch.end(), second.begin(), second.end());
    EXPECT_EQ(feed(parser, batch), batch.size());
    auto lines = message_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "hi");
    EXPECT_EQ(lines.back(), "100% %s %n done");
}

TEST(SerialParser, DeviceFifteenTextEndsAtItsFirstNul)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    feed(parser, device_packet(15, {'a', 'b', 0, 'c', 'd'}));
    EXPECT_EQ(newest_message_line(), "ab");
}

TEST(SerialParser, UnknownDeviceIsReportedAndTheNextPacketIsParsedNormally)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    std::vector<unsigned char> batch = device_packet(5, {1, 2, 3});
    std::vector<unsigned char> next = text_packet("next");
    batch.insert(batch.end(), next.begin(), next.end());
    EXPECT_EQ(feed(parser, batch), batch.size());
    auto lines = message_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Serial - Data for invalid device: 5");
    EXPECT_EQ(lines.back(), "next");
}

TEST(SerialParser, DeviceEightWithoutACameraIsSkippedQuietly)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    std::vector<unsigned char> batch = device_packet(8, {6, 0});
    std::vector<unsigned char> next = text_packet("after");
    batch.insert(batch.end(), next.begin(), next.end());
    EXPECT_EQ(feed(parser, batch), batch.size());
    EXPECT_EQ(newest_message_line(), "after");
    EXPECT_EQ(parser.packet_state.load(), 0);
}

TEST(SerialParser, BadChecksumFlushesForASecondWithOneIgnoreLinePerBatch)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    std::vector<unsigned char> bad = device_packet(1, {0x10, 0x20, 0x30});
    bad.back() ^= 0x01;
    std::vector<unsigned char> batch = bad;
    batch.insert(batch.end(), {0x04, 0x01, 0x2A, 0x2F});  // dropped with the rest of the batch
    double before = get_time();
    EXPECT_EQ(feed(parser, batch), bad.size());
    EXPECT_EQ(parser.packet_state.load(), 2);
    EXPECT_NEAR(parser.flush_deadline - before, 1.0, 0.1);

    char expected[80];
    std::snprintf(expected, sizeof expected, "Invalid packet checksum actual: %02x  Expected: %02x", bad.back(),
                  bad.back() ^ 0x01);
    auto lines = message_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], expected);
    EXPECT_EQ(lines[lines.size() - 2], "Serial - Enter Flush");
    EXPECT_EQ(lines.back(), "Serial - Unable to validate packet");
    EXPECT_EQ(log.count_starting("Buffer: : (6) 06 01 10 20 30 "), 1);  // the dump goes to the log only
    EXPECT_FALSE(log.has("Controller - Telemetry payload too short: 1 bytes, ignored"));

    EXPECT_EQ(feed(parser, {0x06, 0x01, 0x00}), 1u);
    EXPECT_EQ(feed(parser, {0xAB}), 1u);
    EXPECT_EQ(feed(parser, {0x05, 0x0F, 0x68, 0x69, 0xE5}), 1u);
    EXPECT_EQ(log.count_starting("Serial - Flush Ignore: "), 3);
    EXPECT_TRUE(log.has("Serial - Flush Ignore: 6"));
    EXPECT_TRUE(log.has("Serial - Flush Ignore: ab"));
    EXPECT_TRUE(log.has("Serial - Flush Ignore: 5"));
    EXPECT_EQ(newest_message_line(), "Serial - Unable to validate packet");

    parser.check(parser.flush_deadline - 0.5);  // the second has not passed
    EXPECT_EQ(parser.packet_state.load(), 2);
    EXPECT_FALSE(log.has("Serial - Exit Flush"));
    parser.check(parser.flush_deadline + 0.001);
    EXPECT_EQ(parser.packet_state.load(), 0);
    EXPECT_EQ(newest_message_line(), "Serial - Exit Flush");
    feed(parser, text_packet("back in step"));
    EXPECT_EQ(newest_message_line(), "back in step");
}

TEST(SerialParser, FlushLastsOneSecondOnTheClock)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    double began = get_time();
    parser.flush();
    EXPECT_EQ(newest_message_line(), "Serial - Enter Flush");
    parser.check(began + 0.9);
    EXPECT_EQ(parser.packet_state.load(), 2);
    parser.check(get_time() + 1.05);
    EXPECT_EQ(parser.packet_state.load(), 0);
    EXPECT_EQ(log.count_starting("Serial - Exit Flush"), 1);
    parser.check(get_time() + 2.0);  // not flushing: nothing more
    EXPECT_EQ(log.count_starting("Serial - Exit Flush"), 1);
}

TEST(SerialParser, BufferBoundEndsARunawayPacket)
{
    test_log log;
    serial_class parser;
    bus_test::wire(parser);
    parser.packet_state = 1;
    parser.packet_length = 0xFFFF;  // never reached
    parser.packet_count = 0x200;
    EXPECT_EQ(parser.process_byte(0x42), 1);
    EXPECT_EQ(parser.packet_state.load(), 0);
    EXPECT_EQ(newest_message_line(), "Serial - Process byte buffer size exceeded");
}

TEST(SerialPort, UnknownPortIsReportedAndNothingIsSentNorShownAsSent)
{
    test_log log;
    std::atomic<int> shown{0};
    int tap = tap_add([&shown](const tap_event_type& event) { shown += event.kind == tap_kind::bus_sent; });
    serial_class port;
    bus_test::wire(port);
    port.start(57600);
    EXPECT_EQ(port.get_state(), 0);
    EXPECT_TRUE(log.has("Serial - Start"));
    EXPECT_TRUE(log.has("Serial - Unable to open serial port ()"));
    EXPECT_EQ(port.serial_packet(1, neutral_command.data(), 8), 0);
    tap_remove(tap);
    EXPECT_EQ(shown, 0) << "the bus channel and the recorder would show a command that never left";
    port.stop();
    EXPECT_TRUE(log.has("Serial - Stop Complete"));
}

TEST(SerialPort, PacketsGoOutFramedAndTheFlushSecondSendsNothing)
{
    test_log log;
    pty_pair line;
    ASSERT_TRUE(line.ready());
    serial_class port;
    bus_test::wire(port);
    std::snprintf(port.port_name, sizeof port.port_name, "%s", line.name().c_str());
    port.start(57600);
    ASSERT_EQ(port.get_state(), 1);
    EXPECT_TRUE(log.has("Serial - Online"));

    EXPECT_EQ(port.serial_packet(1, neutral_command.data(), 8), 0);
    std::vector<unsigned char> expected{0x01, 0x08, 0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0, 0x09};
    EXPECT_EQ(line.read_for(std::chrono::milliseconds(200)), expected);

    EXPECT_EQ(port.do_serial_packet(1, neutral_command.data(), 0), 0);
    EXPECT_TRUE(line.read_for(std::chrono::milliseconds(100)).empty());

    port.flush();
    EXPECT_EQ(port.serial_packet(1, neutral_command.data(), 8), 0);
    EXPECT_TRUE(line.read_for(std::chrono::milliseconds(100)).empty());
    port.check(port.flush_deadline + 0.001);
    port.serial_packet(1, neutral_command.data(), 8);
    EXPECT_EQ(line.read_for(std::chrono::milliseconds(200)), expected);
    port.stop();
}

TEST(SerialPort, ReceivedBytesReachTheParserAndASilentBusTimesOutEveryTwoSeconds)
{
    test_log log;
    pty_pair line;
    ASSERT_TRUE(line.ready());
    serial_class port;
    bus_test::wire(port);
    std::snprintf(port.port_name, sizeof port.port_name, "%s", line.name().c_str());
    port.start(57600);
    ASSERT_EQ(port.get_state(), 1);
    ASSERT_TRUE(line.write_bytes(text_packet("from the board")));
    EXPECT_TRUE(log.wait_for("from the board"));
    EXPECT_TRUE(log.wait_for("Serial - Read timeout", std::chrono::milliseconds(2600)));
    EXPECT_EQ(log.count_starting("Serial - Read timeout"), 1);
    port.stop();
    EXPECT_TRUE(log.has("Serial -  Enter Serial Thread"));
    EXPECT_TRUE(log.has("Serial - Thread return"));
}

TEST(SerialPortConcurrency, StopEndsTheReadingThreadAtOnceWhileBytesFlowAndPacketsAreSent)
{
    test_log log;
    pty_pair line;
    ASSERT_TRUE(line.ready());
    serial_class port;
    bus_test::wire(port);
    std::snprintf(port.port_name, sizeof port.port_name, "%s", line.name().c_str());
    port.start(57600);
    ASSERT_EQ(port.get_state(), 1);
    std::atomic<bool> done{false};
    std::thread board([&] {
        std::vector<unsigned char> packet = text_packet("tick");
        while (!done) {
            line.write_bytes(packet);
            line.read_for(std::chrono::milliseconds(2));
        }
    });
    std::thread sender([&] {
        while (!done)
            port.serial_packet(1, neutral_command.data(), 8);
    });
    EXPECT_TRUE(log.wait_for("tick"));  // bytes flow both ways
    port.check(get_time());  // the window thread's part, against the reading thread
    auto begun = std::chrono::steady_clock::now();
    port.stop();
    // Far inside the 2-second cycle: the stop event ended the wait, not the time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(1500));
    done = true;
    sender.join();
    board.join();
    EXPECT_GT(log.count_starting("tick"), 0);
    EXPECT_EQ(port.serial_packet(1, neutral_command.data(), 8), 0);
}

TEST(SerialPortConcurrency, AWriterBlockedOnAFullLineReturnsWhenStopIsSignalled)
{
    test_log log;
    pty_pair line;  // the master never reads, so the line fills up
    ASSERT_TRUE(line.ready());
    serial_class port;
    bus_test::wire(port);
    std::snprintf(port.port_name, sizeof port.port_name, "%s", line.name().c_str());
    port.start(57600);
    ASSERT_EQ(port.get_state(), 1);
    std::vector<unsigned char> payload(255, 0x55);
    auto writer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100000; i++)
            port.serial_packet(1, payload.data(), 255);
    });
    auto waiter = std::async(std::launch::async, [&] {  // waits for the mutex behind the writer
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return port.serial_packet(1, payload.data(), 255);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout) << "the line never filled";
    port.stop();
    EXPECT_EQ(writer.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
}

// The board's port vanishes and comes back under the same name (a by-id link retargeted to a new device):
// the reading thread closes it, tries it again once a cycle without spinning, and the new board gets the
// packets and is heard. Writers meanwhile never touch a closed port.
TEST(SerialPortConcurrency, ALostPortIsReopenedByItsFullPathWithoutSpinning)
{
    test_log log;
    auto first = std::make_unique<pty_pair>();
    ASSERT_TRUE(first->ready());
    std::string link = testing::TempDir() + "serial-by-id-usb-Quillon_Test_Board_" + std::to_string(getpid()) +
                       "-if00-port0";
    std::remove(link.c_str());
    ASSERT_EQ(symlink(("/dev/" + first->name()).c_str(), link.c_str()), 0);
    ASSERT_GT(link.size(), 9u);
    serial_class port;
    bus_test::wire(port);
    std::snprintf(port.port_name, sizeof port.port_name, "%s", link.c_str());
    port.start(57600);
    ASSERT_EQ(port.get_state(), 1);
    std::atomic<bool> done{false};
    std::thread sender([&] {  // the controller thread's part, throughout the loss
        while (!done) {
            port.serial_packet(1, neutral_command.data(), 8);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    timespec cpu_before{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_before);
    first.reset();  // the board is gone, and with it its link (a freed terminal number may soon be another's)
    std::remove(link.c_str());
    EXPECT_TRUE(log.wait_for("Serial - Connection lost"));
    EXPECT_TRUE(log.has("Serial - Port hung up (" + link + ")"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a failed reopen and one more cycle
    timespec cpu_after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_after);
    double cpu = (cpu_after.tv_sec - cpu_before.tv_sec) + (cpu_after.tv_nsec - cpu_before.tv_nsec) * 1e-9;
    EXPECT_LT(cpu, 0.5) << "the reading thread spins on the lost port";
    EXPECT_EQ(log.count_starting("Serial - Unable to open serial port (" + link + ")"), 1) << "once per loss";
    // A write may meet the hung-up port before the reading thread has closed it; after that none is tried.
    EXPECT_LE(log.count_starting("Serial - Write failed"), 1);

    pty_pair second;
    ASSERT_TRUE(second.ready());
    ASSERT_EQ(symlink(("/dev/" + second.name()).c_str(), link.c_str()), 0);
    EXPECT_TRUE(log.wait_for("Serial - Reconnected", std::chrono::milliseconds(4500)));
    std::vector<unsigned char> heard = second.read_for(std::chrono::milliseconds(200));
    EXPECT_GE(heard.size(), 11u) << "the sender's packets reach the new board";
    ASSERT_TRUE(second.write_bytes(text_packet("new board")));
    EXPECT_TRUE(log.wait_for("new board"));
    EXPECT_EQ(log.count_starting("Serial - Connection lost"), 1);

    auto begun = std::chrono::steady_clock::now();
    port.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(1500));
    done = true;
    sender.join();
    std::remove(link.c_str());
}

// Told how many bytes of a packet are still to come, the wait sleeps until they are all there. What the
// board sent before the port was set up is stale and gone.
TEST(SerialPortWait, AWaitForTheRestOfAPacketWakesOnceItIsWholeAndOldBytesAreGone)
{
    pty_pair line;
    ASSERT_TRUE(line.ready());
    serial_port_type* port = serial_port_open(line.name().c_str());
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(line.write_bytes({9, 9, 9, 9}));
    ASSERT_EQ(serial_port_setup(port, 57600), serial_setup_result::ok);
    serial_event_type* stop = serial_event_create();
    unsigned char buffer[64];

    ASSERT_TRUE(line.write_bytes({1, 2, 3}));
    auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_port_wait(port, stop, 150, 5), serial_wait_result::received) << "what waits after the time-out";
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(140)) << "woke before 5 bytes";
    EXPECT_EQ(serial_port_read(port, buffer, sizeof buffer), 3);

    std::thread board([&] {
        line.write_bytes({4, 5});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        line.write_bytes({6, 7, 8});
    });
    begun = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_port_wait(port, stop, 5000, 5), serial_wait_result::received);
    auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(waited, std::chrono::milliseconds(90)) << "woke at the first two bytes";
    EXPECT_LT(waited, std::chrono::milliseconds(4000)) << "missed the fifth byte";
    EXPECT_EQ(serial_port_read(port, buffer, sizeof buffer), 5);
    board.join();

    EXPECT_EQ(serial_port_wait(port, stop, 0, 1), serial_wait_result::timeout) << "back to one byte, none waiting";
    serial_event_signal(stop);
    EXPECT_EQ(serial_port_wait(port, stop, 5000, 200), serial_wait_result::stopped);
    serial_event_destroy(stop);
    serial_port_close(port);
}

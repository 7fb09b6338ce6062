// Threads the system refuses to create: each piece reports it as a message line and stays down, and the
// program goes on.
#include "services/threads.h"

#include "automode/automode.h"
#include "bus/controller.h"
#include "bus/serial.h"
#include "bus_support.h"
#ifndef _WIN32
#include "pty_support.h"
#endif
#include "imaging/camera.h"
#include "platform/window.h"
#include "robot/robot.h"

#include <gtest/gtest.h>

using namespace bus_test;

namespace {

const std::string refused = "Unable to create thread: Resource temporarily unavailable";

} // namespace

TEST(ThreadStart, ARefusedThreadIsReportedAndEveryPieceStaysDown)
{
    test_log log;

#ifndef _WIN32
    // The serial port opens, but without its reading thread it is closed again and reported down (a
    // pseudo-terminal plays the port; on Windows the tests under Wine start the port on a mapped one).
    pty_pair line;
    ASSERT_TRUE(line.ready());
    serial_class port;
    std::snprintf(port.port_name, sizeof port.port_name, "%s", line.name().c_str());
    thread_refuse_next(1);
    port.start(57600);
    EXPECT_EQ(newest_message_line(), "Serial - " + refused);
    EXPECT_EQ(port.get_state(), 0);
    EXPECT_FALSE(log.has("Serial - Online"));
    unsigned char command[8] = {0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0};
    EXPECT_EQ(port.serial_packet(1, command, 8), 0);
    EXPECT_TRUE(line.read_for(std::chrono::milliseconds(50)).empty()) << "nothing goes to a closed port";
    port.stop();
#endif

    // The controller exchange: no thread, no commands; stopping still completes.
    serial.port_name[0] = 0;
    thread_refuse_next(1);
    controller_start();
    EXPECT_EQ(newest_message_line(), "Controller - " + refused);
    controller_stop();
    EXPECT_TRUE(log.has("Serial - Stop Complete"));

    // The camera service.
    camera_class service;
    service.serial_frames = true;  // a source, so that only the thread can be refused
    thread_refuse_next(1);
    service.start(nullptr);
    EXPECT_EQ(newest_message_line(), "Camera - " + refused);
    EXPECT_FALSE(service.running);
    EXPECT_FALSE(service.thread_handle.joinable());
    service.stop();

    // The automode thread: not started, so a later start can still run it.
    thread_refuse_next(1);
    automode_start();
    EXPECT_EQ(newest_message_line(), "Automode - " + refused);
    automode_start();
    EXPECT_FALSE(log.has("Automode already running")) << "the refused start left nothing running";
    EXPECT_EQ(newest_message_line(), "Automode start");
    automode_stop();
}

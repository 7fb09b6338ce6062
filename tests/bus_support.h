// Helpers for the serial bus tests: a private log file, the message lines and device packets. The
// pseudo-terminal that plays the robot's electronics is in pty_support.h (POSIX only).
#pragma once

#include "services/log.h"

#include "services/message_lines.h"
#include "services/utility.h"

#include "bus/controller.h"
#include "bus/serial.h"
#include "imaging/serialcamera.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace bus_test {

// A log file of the test's own, so tests running side by side never share one.
class test_log {
public:
    test_log()
    {
        const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
        path_ = testing::TempDir() + "bus_" + info->test_suite_name() + "_" + info->name() + "_" +
                std::to_string(getpid()) + ".txt";
        log_restart(path_.c_str());
    }
    ~test_log() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

    // The log's lines without their "[seconds] " stamps.
    std::vector<std::string> lines() const
    {
        std::ifstream in(path_);
        std::vector<std::string> result;
        for (std::string line; std::getline(in, line);) {
            size_t stamp_end = line.find("] ");
            result.push_back(stamp_end == std::string::npos ? line : line.substr(stamp_end + 2));
        }
        return result;
    }
    int count_starting(const std::string& text) const
    {
        int count = 0;
        for (const std::string& line : lines())
            if (line.rfind(text, 0) == 0)
                count++;
        return count;
    }
    bool has(const std::string& exact) const
    {
        for (const std::string& line : lines())
            if (line == exact)
                return true;
        return false;
    }
    bool wait_for(const std::string& exact, std::chrono::milliseconds limit = std::chrono::seconds(3)) const
    {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (has(exact))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return has(exact);
    }

private:
    std::string path_;
};

// The newest message line shown on screen, or "" when there is none.
inline std::string newest_message_line()
{
    std::vector<std::string> shown = message_lines_shown();
    return shown.empty() ? std::string() : shown.back();
}

// All message lines on screen, oldest first.
inline std::vector<std::string> message_lines()
{
    return message_lines_shown();
}

// A device-to-server packet: length, device, payload, checksum.
inline std::vector<unsigned char> device_packet(unsigned char device, const std::vector<unsigned char>& payload)
{
    std::vector<unsigned char> packet;
    packet.reserve(payload.size() + 3);
    packet.push_back(static_cast<unsigned char>(payload.size() + 3));
    packet.push_back(device);
    packet.insert(packet.end(), payload.begin(), payload.end());
    packet.push_back(static_cast<unsigned char>(get_checksum(packet.data(), static_cast<unsigned int>(packet.size()))));
    return packet;
}

// The bus port's table of devices as the program fills it at start-up.
inline void wire(serial_class& port)
{
    port.set_device_handler(device_id, controller_data);
    port.set_device_handler(serial_camera_device, serial_camera_data);
    port.set_device_handler(serial_text_device, serial_text_line);
}

} // namespace bus_test

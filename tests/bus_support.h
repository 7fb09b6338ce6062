// Helpers for the serial bus tests: a private log file, the message lines, and a real pseudo-terminal
// whose master side plays the robot's electronics.
#pragma once

#include "app/utility.h"
#include "console/display.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
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
    std::lock_guard<std::mutex> hold(text_lock);
    return text_y > 0 ? std::string(text_area[text_y - 1]) : std::string();
}

// All message lines on screen, oldest first.
inline std::vector<std::string> message_lines()
{
    std::lock_guard<std::mutex> hold(text_lock);
    std::vector<std::string> result;
    for (int i = 0; i < text_y; i++)
        result.emplace_back(text_area[i]);
    return result;
}

// A pseudo-terminal: the code under test opens the slave by name ("pts/N"), the test holds the master.
class pty_pair {
public:
    pty_pair()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        const char* path = ptsname(master_);
        if (path == nullptr)
            return;
        name_ = path + 5;  // without "/dev/"
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~pty_pair() { close_master(); }
    bool ready() const { return master_ >= 0 && !name_.empty(); }
    const std::string& name() const { return name_; }
    int master() const { return master_; }
    void close_master()
    {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }
    bool write_bytes(const std::vector<unsigned char>& bytes) const
    {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Everything the slave side wrote within the time.
    std::vector<unsigned char> read_for(std::chrono::milliseconds limit) const
    {
        std::vector<unsigned char> bytes;
        auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return bytes;
            pollfd watch{master_, POLLIN, 0};
            if (poll(&watch, 1, static_cast<int>(left.count())) <= 0)
                continue;
            unsigned char buffer[4096];
            ssize_t got = read(master_, buffer, sizeof buffer);
            if (got <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            else
                bytes.insert(bytes.end(), buffer, buffer + got);
        }
    }

private:
    int master_ = -1;
    std::string name_;
};

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

} // namespace bus_test

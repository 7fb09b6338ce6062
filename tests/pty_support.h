// A real pseudo-terminal for the serial bus tests: its master side plays the robot's electronics. POSIX
// only, so the tests that use it are left out of the Windows build (tests/CMakeLists.txt).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace bus_test {

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

} // namespace bus_test

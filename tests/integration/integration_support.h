// Running the real programs for integration tests: a temporary working folder, child processes, the log,
// and TCP clients on loopback.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace integration {

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer holds freed blocks in quarantine, so resident memory grows with every allocation
// until the quarantine is full: there a resident figure proves nothing (its leak check at exit stands in).
constexpr bool resident_memory_meaningful = false;
#else
constexpr bool resident_memory_meaningful = true;
#endif

// A fresh empty folder under the test temp directory; removed when the object goes.
class temp_folder {
public:
    temp_folder();
    ~temp_folder();
    const std::string& path() const { return folder; }
    std::string file(const std::string& name) const { return folder + "/" + name; }
    void write(const std::string& name, const std::string& content) const;

private:
    std::string folder;
};

// A child process with its standard output and error captured in files of the working folder.
class process {
public:
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    process(const std::vector<std::string>& arguments, const std::string& working_folder,
            const std::vector<std::string>& environment = {});
    ~process();  // sends SIGKILL if it still runs
    pid_t pid() const { return child; }
    bool running();
    void signal(int number);
    // Waits for the exit; returns the exit code, 128 + signal for a signal, or -1 on time-out.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string output() const;  // what it wrote to standard output so far
    std::string errors() const;  // what it wrote to standard error so far

private:
    pid_t child = -1;
    int status = 0;
    bool ended = false;
    std::string out_file;
    std::string err_file;
};

std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
// Polls the file until a line contains the text; false on time-out.
bool wait_for_line(const std::string& path, const std::string& text,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
int count_lines_containing(const std::string& path, const std::string& text);
// Polls until condition() holds; false on time-out.
template <class F> bool wait_until(F condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The quillon program started in the folder (headless unless told otherwise); waits until its log shows
// the operator link's outcome.
std::unique_ptr<process> start_quillon(const temp_folder& folder,
                                       const std::vector<std::string>& extra_arguments = {"--headless"},
                                       const std::vector<std::string>& environment = {});

// An X server without a screen (Xvfb) for tests of the real windows; skipped where none is installed.
class virtual_display {
public:
    virtual_display();
    ~virtual_display();
    bool ready() const { return !name.empty(); }
    const std::string& display() const { return name; }  // for example ":7"
    std::string environment() const { return "DISPLAY=" + name; }
    // Runs a command with DISPLAY set; returns its standard output, trimmed.
    std::string run(const std::string& command) const;
    // Saves a PNG of the whole screen.
    bool screenshot(const std::string& png_path) const;

private:
    std::unique_ptr<process> server;
    std::unique_ptr<temp_folder> folder;
    std::string name;
};

// A blocking TCP client on 127.0.0.1 with receive time-outs.
class tcp_client {
public:
    explicit tcp_client(int port = 32459);
    ~tcp_client();
    bool connected() const { return fd >= 0; }
    int socket() const { return fd; }
    bool send_bytes(const std::vector<unsigned char>& bytes);
    // Reads exactly count bytes; returns fewer on time-out or close.
    std::vector<unsigned char> receive(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(3));
    // True when the server closed the connection within the limit.
    bool closed_by_peer(std::chrono::milliseconds limit = std::chrono::seconds(3));
    void close();

private:
    int fd = -1;
};

// A loopback TCP port nobody listens on right now (another program may take it before the caller does).
int free_port();

// Debian's mosquitto on a free loopback port, anonymous, for one test.
class broker {
public:
    explicit broker(const temp_folder& folder);
    void start();
    void stop() { server.reset(); }
    bool publish(const std::string& topic, const std::string& payload, bool retain = false) const;
    // The payload of the next message on the topic (a retained one at once), or "" after the limit.
    std::string next_message(const std::string& topic, int seconds) const;

    const temp_folder& folder;
    int port;
    std::unique_ptr<process> server;
};
// Connects, retrying while the server is not yet listening.
bool wait_for_port(int port = 32459, std::chrono::milliseconds limit = std::chrono::seconds(10));

std::vector<unsigned char> control_message(unsigned char flags, unsigned char left, unsigned char right,
                                           unsigned char aux1 = 0x80, unsigned char aux2 = 0x80);

std::string quillon_binary();
std::string sim_binary();
std::string operator_binary();
std::string source_dir();

} // namespace integration

#include <thread>

template <class F> bool integration::wait_until(F condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Round trips of the operator link: a control message out, its 21-byte telemetry reply back, over loopback,
// against the real `quillon` and against a bare reference server in this process, in one run. Measured
// headless and with the real window under Xvfb. Prints figures; never fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using bench::make_folder;
using bench::spawn;
using bench::start_xvfb;
using bench::stop;

constexpr int link_port = 32459;
constexpr int warm_up = 500;
constexpr int blocks = 20;          // the two servers take turns, so drift on the machine hits both alike
constexpr int block_size = 500;

using clock_type = std::chrono::steady_clock;

bool log_has(const std::string& folder, const char* text)
{
    std::ifstream in(folder + "/log.txt");
    for (std::string line; std::getline(in, line);)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// The reference: one client, a bare poll loop, 21 bytes back for every 8 received.
class reference_server {
public:
    reference_server()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener, 1);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~reference_server()
    {
        running = false;
        worker.join();
        close(listener);
    }
    int port = 0;

private:
    void serve()
    {
        int client = -1;
        unsigned int carried = 0;
        unsigned char reply[21] = {0x90, 0xFF, 0x00, 0xFF, 0x00};
        while (running) {
            pollfd p{client >= 0 ? client : listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            if (client < 0) {
                client = accept(listener, nullptr, nullptr);
                int one = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                continue;
            }
            unsigned char buffer[1024];
            ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            for (carried += static_cast<unsigned int>(n); carried >= 8; carried -= 8)
                send(client, reply, sizeof reply, MSG_NOSIGNAL);
        }
        if (client >= 0)
            close(client);
    }

    int listener = -1;
    std::atomic<bool> running{true};
    std::thread worker;
};

// One round trip in microseconds: a control message out, 21 bytes back; negative on failure.
double round_trip(int fd, int step)
{
    unsigned char message[8] = {0x30, 0x00, 0x00, static_cast<unsigned char>(step % 100),
                                static_cast<unsigned char>(99 - step % 100), 0x80, 0x80, 0x00};
    auto start = clock_type::now();
    if (send(fd, message, sizeof message, MSG_NOSIGNAL) != sizeof message)
        return -1;
    size_t got = 0;
    unsigned char reply[21];
    while (got < sizeof reply) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return -1;
        ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0)
            return -1;
        got += static_cast<size_t>(n);
    }
    return std::chrono::duration<double, std::micro>(clock_type::now() - start).count();
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Both servers in turns; false when a round trip failed.
bool measure(int quillon_fd, int reference_fd, std::vector<double>& quillon, std::vector<double>& reference)
{
    for (int i = 0; i < warm_up; i++)
        if (round_trip(quillon_fd, i) < 0 || round_trip(reference_fd, i) < 0)
            return false;
    for (int block = 0; block < blocks; block++) {
        for (int i = 0; i < block_size; i++) {
            double t = round_trip(quillon_fd, i);
            if (t < 0)
                return false;
            quillon.push_back(t);
        }
        for (int i = 0; i < block_size; i++) {
            double t = round_trip(reference_fd, i);
            if (t < 0)
                return false;
            reference.push_back(t);
        }
    }
    return true;
}

void report(const char* name, const std::vector<double>& quillon, const std::vector<double>& reference)
{
    double q50 = percentile(quillon, 0.5), q99 = percentile(quillon, 0.99);
    double r50 = percentile(reference, 0.5), r99 = percentile(reference, 0.99);
    std::printf("%s: %zu round trips each\n", name, quillon.size());
    std::printf("  quillon    median %8.1f us   p99 %8.1f us   max %8.1f us\n", q50, q99, percentile(quillon, 1.0));
    std::printf("  reference  median %8.1f us   p99 %8.1f us   max %8.1f us\n", r50, r99, percentile(reference, 1.0));
    std::printf("  ratio      median %8.2f      p99 %8.2f      (goal: at most 1.5 and 3)\n", r50 > 0 ? q50 / r50 : 0,
                r99 > 0 ? q99 / r99 : 0);
}

void run(const char* name, const std::vector<std::string>& arguments, const std::string& display)
{
    std::string folder = make_folder();
    pid_t program = spawn(arguments, folder, display);
    bool online = false;
    for (int i = 0; i < 500 && !online; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        online = log_has(folder, "Network Online");
    }
    int quillon_fd = online ? connect_to(link_port) : -1;
    if (quillon_fd < 0) {
        std::printf("%s: the link did not come up (is port %d free?)\n", name, link_port);
        stop(program);
        return;
    }
    reference_server reference;
    int reference_fd = connect_to(reference.port);
    std::vector<double> quillon_times, reference_times;
    if (measure(quillon_fd, reference_fd, quillon_times, reference_times))
        report(name, quillon_times, reference_times);
    else
        std::printf("%s: a round trip failed\n", name);
    close(quillon_fd);
    close(reference_fd);
    stop(program);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    run("headless", {QUILLON_BIN, "--headless"}, "");
    pid_t xvfb = -1;
    std::string display = start_xvfb(&xvfb);
    if (display.empty())
        std::printf("window under Xvfb: skipped, Xvfb is not available\n");
    else
        run("window under Xvfb", {QUILLON_BIN}, display);
    stop(xvfb);
    return 0;
}

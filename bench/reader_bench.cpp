// The operator link's round trips while its client reads images slowly: a control message every 10 ms,
// an image request every 100 ms for large pictures, and the stream read at a capped rate. Replies must
// keep coming (queued behind at most one image's rest); images are what a slow reader loses. Prints
// figures for a reader that keeps up and for slow ones; never fails. Port 32459 must be free; on a shared
// machine run it in a network of its own: unshare -rn sh -c 'ip link set lo up && exec bench/reader_bench'.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int link_port = 32459;
constexpr auto run_time = std::chrono::seconds(10);
// A noisy 1280 x 960 picture compresses badly: a few hundred kilobytes per image message.
const char* source = "videotestsrc is-live=true pattern=snow ! video/x-raw,width=1280,height=960,framerate=30/1";

struct figures_type {
    std::vector<double> round_trips;  // milliseconds
    int requested = 0;
    int images = 0;
    bool dropped = false;             // the link closed the connection
};

// Takes whole messages off the front of the stream; each reply ends the oldest waiting round trip.
void parse(std::vector<unsigned char>& stream, std::deque<clock_type::time_point>& waiting, figures_type& f)
{
    size_t at = 0;
    for (;;) {
        if (at < stream.size() && stream[at] == 0x90 && stream.size() - at >= 21) {
            if (!waiting.empty()) {
                f.round_trips.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - waiting.front()).count());
                waiting.pop_front();
            }
            at += 21;
        } else if (at < stream.size() && stream[at] == 0x60 && stream.size() - at >= 9) {
            size_t length = (size_t(stream[at + 5]) << 24) | (size_t(stream[at + 6]) << 16) |
                            (size_t(stream[at + 7]) << 8) | stream[at + 8];
            if (stream.size() - at < 9 + length)
                break;
            f.images++;
            at += 9 + length;
        } else {
            break;
        }
    }
    stream.erase(stream.begin(), stream.begin() + static_cast<long>(at));
}

// One client session reading at most `rate` bytes a second (0: as fast as it comes).
figures_type drive(int fd, double rate)
{
    figures_type f;
    std::vector<unsigned char> stream;
    std::deque<clock_type::time_point> waiting;  // sent control messages and image requests awaiting replies
    auto start = clock_type::now(), next_send = start;
    double budget = 0;
    int step = 0;
    while (clock_type::now() - start < run_time && !f.dropped) {
        auto now = clock_type::now();
        if (now >= next_send) {
            unsigned char control[8] = {0x30, 0x00, 0x00, 0x20, 0x20, 0x80, 0x80, 0x00};
            f.dropped = send(fd, control, sizeof control, MSG_NOSIGNAL) != sizeof control;
            waiting.push_back(now);
            if (step++ % 10 == 0) {
                unsigned char request = 0x60;
                f.dropped = f.dropped || send(fd, &request, 1, MSG_NOSIGNAL) != 1;
                waiting.push_back(now);
                f.requested++;
            }
            next_send += std::chrono::milliseconds(10);
        }
        budget = rate > 0 ? std::min(budget + rate * 0.001, rate * 0.01) : 1 << 20;
        pollfd p{fd, POLLIN, 0};
        if (budget >= 1 && poll(&p, 1, 1) > 0) {
            unsigned char buffer[1 << 16];
            ssize_t n = recv(fd, buffer, std::min(sizeof buffer, static_cast<size_t>(budget)), 0);
            f.dropped = n == 0;
            if (n > 0) {
                budget -= static_cast<double>(n);
                stream.insert(stream.end(), buffer, buffer + n);
                parse(stream, waiting, f);
            }
        } else if (budget < 1) {
            poll(nullptr, 0, 1);  // the reader's pace
        }
    }
    return f;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size() - 1)))];
}

int connect_link()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int room = 64 * 1024;  // a small receive window, as a phone's on a poor link
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(link_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    std::string folder = bench::make_folder();
    std::ofstream(folder + "/config.txt") << "camera_pipeline " << source << "\n";
    pid_t program = bench::spawn({QUILLON_BIN, "--headless"}, folder);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the capture starts
    std::printf("link round trips, control messages at 100/s and image requests at 10/s, %lld s each\n",
                static_cast<long long>(run_time.count()));
    for (double rate : {0.0, 2e6, 500e3}) {
        int fd = connect_link();
        if (fd < 0) {
            std::printf("the link did not come up (is port %d free?)\n", link_port);
            break;
        }
        figures_type f = drive(fd, rate);
        close(fd);
        char label[64];
        std::snprintf(label, sizeof label, rate > 0 ? "reader at %.0f kB/s" : "reader keeping up", rate / 1000);
        std::printf("  %-20s replies %5zu  median %7.2f ms  p99 %7.2f ms  max %7.2f ms  images %3d of %3d%s\n", label,
                    f.round_trips.size(), percentile(f.round_trips, 0.5), percentile(f.round_trips, 0.99),
                    percentile(f.round_trips, 1.0), f.images, f.requested, f.dropped ? "  CONNECTION DROPPED" : "");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the link sees the client go
    }
    bench::stop(program);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}

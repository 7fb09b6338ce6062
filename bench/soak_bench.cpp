// Soak: the real quillon, headless, for five minutes (or the seconds given as the argument) against
// quillon-sim paced at 57,600 baud with telemetry and camera images, while an operator client sends
// control messages at 50 Hz; once with the camera's packet dumps in the log and once without
// (log_camera_data 0; a second argument "on" or "off" runs only one). Prints resident memory at the start
// and the end, the CPU share in all and by thread, the log's growth per minute, the replies against the
// messages sent, reply times, and the commands the board received against 10 a second.
// With "record" as the second argument it runs the soak without dumps twice, without and with the flight
// recorder, and prints the recorder's extra CPU share and its disk rate.
// Run it under `flock /tmp/quillon-port.lock`: the program listens on 32459.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

using bench::make_folder;
using bench::spawn;
using bench::stop;

using clock_type = std::chrono::steady_clock;

constexpr double warm_up_seconds = 5.0;   // the first images are decoded and every buffer is in place
constexpr double message_period = 0.020;  // 50 Hz
constexpr size_t reply_length = 21;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long status_kib(pid_t pid, const std::string& key)
{
    std::istringstream lines(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + key.size());
    return -1;
}

// CPU seconds (user and system): fields 14 and 15 of a /proc stat file.
double cpu_seconds_of(const std::string& path)
{
    std::string stat = read_file(path);
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return 0.0;
    std::istringstream fields(stat.substr(close_paren + 2));
    std::string field;
    double ticks = 0;
    for (int number = 3; number <= 15 && fields >> field; number++)
        if (number == 14 || number == 15)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpu_seconds(pid_t pid)
{
    return cpu_seconds_of("/proc/" + std::to_string(pid) + "/stat");
}

struct thread_cpu_type {
    long tid = 0;
    std::string name;     // the thread's comm
    double seconds = 0;   // CPU seconds so far
};

// CPU seconds of each thread, by thread id: the window thread is the process id, the others follow in the
// order they started.
std::vector<thread_cpu_type> thread_cpu_seconds(pid_t pid)
{
    std::vector<thread_cpu_type> threads;
    std::error_code error;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
        long tid = std::atol(entry.path().filename().c_str());
        std::string task = tasks + "/" + std::to_string(tid);
        std::string name = read_file(task + "/comm");
        while (!name.empty() && name.back() == '\n')
            name.pop_back();
        threads.push_back({tid, name, cpu_seconds_of(task + "/stat")});
    }
    std::sort(threads.begin(), threads.end(), [](const auto& a, const auto& b) { return a.tid < b.tid; });
    return threads;
}

// Bytes of the log so far, the full one renamed at the size limit included.
long long log_bytes(const std::string& folder)
{
    long long bytes = 0;
    std::error_code error;
    for (const char* name : {"/log.txt", "/log.1.txt"}) {
        auto size = std::filesystem::file_size(folder + name, error);
        if (!error)
            bytes += static_cast<long long>(size);
    }
    return bytes;
}

int count_lines_containing(const std::string& path, const std::string& text)
{
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

int connect_client()
{
    for (int attempt = 0; attempt < 500; attempt++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(32459);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// The operator: control messages at 50 Hz, the drive changing every two seconds, and a reader that
// matches each reply to its message (replies come in order) for the reply time.
struct operator_run {
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<long> sent{0};
    std::atomic<long> replies{0};
    std::atomic<long> bad_replies{0};  // a reply that does not start with 0x90
    std::mutex lock;                   // guards send_times and reply_times
    std::deque<clock_type::time_point> send_times;
    std::vector<double> reply_times;   // seconds

    void send_loop();
    void read_loop();
};

void operator_run::send_loop()
{
    const unsigned char drives[4][3] = {{0x00, 40, 40}, {0x01, 30, 30}, {0x00, 40, 40}, {0x02, 30, 30}};
    auto next = clock_type::now();
    for (long n = 0; !stopping; n++) {
        const unsigned char* d = drives[(n / 100) % 4];
        unsigned char message[8] = {0x30, 0x00, d[0], d[1], d[2], 0x80, 0x80, 0x00};
        {
            std::lock_guard<std::mutex> hold(lock);
            send_times.push_back(clock_type::now());
        }
        if (send(fd, message, sizeof message, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof message))
            break;
        sent++;
        next += std::chrono::microseconds(static_cast<long>(message_period * 1e6));
        std::this_thread::sleep_until(next);
    }
}

void operator_run::read_loop()
{
    unsigned char reply[reply_length];
    size_t have = 0;
    while (!stopping || replies < sent) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, stopping ? 2000 : 100) <= 0) {
            if (stopping)
                return;  // two seconds without a reply after the last message: the rest are missing
            continue;
        }
        ssize_t n = recv(fd, reply + have, reply_length - have, 0);
        if (n <= 0)
            return;
        have += static_cast<size_t>(n);
        if (have < reply_length)
            continue;
        have = 0;
        replies++;
        bad_replies += reply[0] == 0x90 ? 0 : 1;
        std::lock_guard<std::mutex> hold(lock);
        if (!send_times.empty()) {
            reply_times.push_back(std::chrono::duration<double>(clock_type::now() - send_times.front()).count());
            send_times.pop_front();
        }
    }
}

// Times of the command packets (device 1, 8 payload bytes) in the sim's record.
std::vector<double> command_times(const std::string& record)
{
    std::ifstream in(record);
    std::vector<double> times;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        double time = 0;
        std::string device, length;
        if (words >> time >> device >> length && device == "01" && length == "08")
            times.push_back(time);
    }
    return times;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::min(index == 0 ? 0 : index - 1, values.size() - 1)];
}

struct soak_figures {
    double seconds = 0;
    long resident_start = 0, resident_end = 0, resident_peak = 0;  // KiB
    double cpu = 0;                                                // CPU seconds over the measured span
    std::vector<thread_cpu_type> threads_start, threads_end;
    long long log_start = 0, log_end = 0;                          // bytes of the log
    long long record_start = 0, record_end = 0;                    // bytes of the recordings
    int exit_code = -1;
};

// Bytes of the flight recordings in folder/rec.
long long record_bytes(const std::string& folder)
{
    long long bytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder + "/rec", error))
        bytes += static_cast<long long>(entry.file_size(error));
    return bytes;
}

// Memory and CPU of the program over the soak.
soak_figures measure(pid_t program, double seconds, const std::string& folder)
{
    soak_figures figures;
    figures.seconds = seconds;
    figures.resident_start = status_kib(program, "VmRSS:");
    double cpu_start = cpu_seconds(program);
    figures.threads_start = thread_cpu_seconds(program);
    figures.log_start = log_bytes(folder);
    figures.record_start = record_bytes(folder);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    figures.cpu = cpu_seconds(program) - cpu_start;
    figures.threads_end = thread_cpu_seconds(program);
    figures.log_end = log_bytes(folder);
    figures.record_end = record_bytes(folder);
    figures.resident_end = status_kib(program, "VmRSS:");
    figures.resident_peak = status_kib(program, "VmHWM:");
    return figures;
}

void print_figures(const soak_figures& f, operator_run& client, const std::string& folder, bool dumps)
{
    std::printf("quillon --headless for %.0f s against quillon-sim --baud-pace (telemetry 10 Hz, camera images), "
                "an operator at 50 Hz; camera dumps in the log %s\n", f.seconds, dumps ? "on" : "off (log_camera_data 0)");
    std::printf("resident memory: %ld KiB at the start, %ld KiB at the end (%+ld KiB; goal within 1024), "
                "peak %ld KiB\n", f.resident_start, f.resident_end, f.resident_end - f.resident_start,
                f.resident_peak);
    std::printf("CPU share: %.2f %% of one core over %.0f s (%.2f CPU seconds)\n", 100.0 * f.cpu / f.seconds,
                f.seconds, f.cpu);
    std::printf("CPU share by thread (window thread first, then in start order):\n");
    for (const thread_cpu_type& end : f.threads_end) {
        auto start = std::find_if(f.threads_start.begin(), f.threads_start.end(),
                                  [&](const thread_cpu_type& t) { return t.tid == end.tid; });
        double used = end.seconds - (start == f.threads_start.end() ? 0.0 : start->seconds);
        std::printf("  %-7ld %-16s %6.2f %%\n", end.tid, end.name.c_str(), 100.0 * used / f.seconds);
    }
    std::printf("log growth: %.3f MB a minute (%.1f MB an hour)\n",
                static_cast<double>(f.log_end - f.log_start) / 1e6 * 60.0 / f.seconds,
                static_cast<double>(f.log_end - f.log_start) / 1e6 * 3600.0 / f.seconds);
    std::printf("replies: %ld of %ld messages sent, %ld missing, %ld not starting with 0x90\n",
                client.replies.load(), client.sent.load(), client.sent - client.replies, client.bad_replies.load());
    std::printf("reply time: median %.0f us, 99th percentile %.0f us, max %.0f us\n",
                percentile(client.reply_times, 0.5) * 1e6, percentile(client.reply_times, 0.99) * 1e6,
                percentile(client.reply_times, 1.0) * 1e6);
    std::vector<double> times = command_times(folder + "/bus.rec");
    double span = times.size() > 1 ? times.back() - times.front() : 0.0;
    std::printf("commands the board received: %zu over %.1f s, expected %.0f at 10 a second (%.3f a second)\n",
                times.size(), span, span * 10.0 + 1, span > 0 ? static_cast<double>(times.size() - 1) / span : 0.0);
    std::string log = folder + "/log.txt";
    std::printf("camera images completed: %d; flush pauses: %d; data time-outs: %d; log file: %.1f MB\n",
                count_lines_containing(log, "Image Complete"), count_lines_containing(log, "Serial - Enter Flush"),
                count_lines_containing(log, "Client data Timeout"),
                static_cast<double>(std::filesystem::file_size(log)) / 1e6);
    std::printf("quillon exit code after SIGTERM: %d\n", f.exit_code);
}

// One soak of the given seconds; dumps chooses log_camera_data, record turns the flight recorder on.
// Returns its figures.
soak_figures soak(double seconds, bool dumps, bool record = false)
{
    std::string folder = make_folder();
    if (folder.empty())
        return {};
    std::string sim_bin = std::string(QUILLON_BIN_DIR) + "/quillon-sim";
    pid_t sim = spawn({sim_bin, "--write-config", folder, "--record", folder + "/bus.rec", "--baud-pace",
                       "--no-stdin", "--quiet"}, folder);
    for (int i = 0; i < 500 && !std::filesystem::exists(folder + "/config.txt"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the sim has finished writing it
    std::ofstream(folder + "/config.txt", std::ios::app) << "log_camera_data " << (dumps ? 1 : 0) << "\n"
                                                         << (record ? "record_folder rec\n" : "");
    pid_t program = spawn({QUILLON_BIN, "--headless"}, folder);

    operator_run client;
    client.fd = connect_client();
    if (client.fd < 0) {
        std::printf("could not connect to quillon\n");
        stop(program);
        stop(sim);
        return {};
    }
    std::thread sender([&] { client.send_loop(); });
    std::thread reader([&] { client.read_loop(); });
    std::this_thread::sleep_for(std::chrono::duration<double>(warm_up_seconds));

    soak_figures figures = measure(program, seconds, folder);

    client.stopping = true;
    sender.join();
    reader.join();
    close(client.fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    figures.exit_code = stop(program);
    stop(sim);
    print_figures(figures, client, folder, dumps);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return figures;
}

// The soak without and with the flight recorder.
void soak_recording(double seconds)
{
    soak_figures plain = soak(seconds, false, false);
    std::printf("\n");
    soak_figures recording = soak(seconds, false, true);
    std::printf("\nflight recorder: CPU share %+.2f %% of one core (%.2f %% with it, %.2f %% without; goal at most "
                "1 %% extra), disk %.1f KB a second (%.1f MB an hour)\n",
                100.0 * (recording.cpu - plain.cpu) / seconds, 100.0 * recording.cpu / seconds,
                100.0 * plain.cpu / seconds, static_cast<double>(recording.record_end - recording.record_start) / 1e3 / seconds,
                static_cast<double>(recording.record_end - recording.record_start) / 1e6 * 3600.0 / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = argc > 1 ? std::atof(argv[1]) : 300.0;
    if (seconds < 10)
        seconds = 10;
    std::string which = argc > 2 ? argv[2] : "both";
    if (which == "record") {
        soak_recording(seconds);
        return 0;
    }
    if (which != "off")
        soak(seconds, true);
    if (which == "both")
        std::printf("\n");
    if (which != "on")
        soak(seconds, false);
    return 0;
}

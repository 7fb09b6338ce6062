// How long after a packet's last byte the reading thread hands it on, and how often it wakes meanwhile.
// A pseudo-terminal stands for the bus; a writer paces the bytes at 57,600 baud (one every 174 us) and a
// watcher spins on the message lines for device-15 text packets of 6, 60 and 254 bytes. Prints the delay
// from the last byte's write to the line's appearance (median, 99th percentile, maximum) and the reading
// thread's wake-ups per packet.
#include "services/log.h"
#include "services/utility.h"
#include "bus/controller.h"
#include "bus/serial.h"
#include "services/message_lines.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto byte_time = std::chrono::nanoseconds(173611);  // 10 bits at 57,600 baud
constexpr int packets_per_size = 60;

std::vector<unsigned char> text_packet(const std::string& text)
{
    std::vector<unsigned char> packet(text.size() + 2);
    packet[0] = static_cast<unsigned char>(text.size() + 3);
    packet[1] = 15;
    for (size_t i = 0; i < text.size(); i++)
        packet[i + 2] = static_cast<unsigned char>(text[i]);
    packet.push_back(static_cast<unsigned char>(get_checksum(packet.data(), static_cast<unsigned int>(packet.size()))));
    return packet;
}

bool newest_line_is(const std::string& text)
{
    std::vector<std::string> shown = message_lines_shown();
    return !shown.empty() && text.compare(0, text_line_size - 1, shown.back()) == 0;
}

// Voluntary context switches of the process's threads other than the ones named: here, the reading thread's.
long switches_except(const std::vector<pid_t>& skip)
{
    long total = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        pid_t tid = static_cast<pid_t>(std::atol(entry.path().filename().c_str()));
        if (std::find(skip.begin(), skip.end(), tid) != skip.end())
            continue;
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::atol(line.c_str() + 24);
    }
    return total;
}

// Writes the packet byte by byte at the line's pace; returns when the last byte was written.
clock_type::time_point write_paced(int master, const std::vector<unsigned char>& packet)
{
    clock_type::time_point next = clock_type::now();
    clock_type::time_point last{};
    for (unsigned char byte : packet) {
        while (clock_type::now() < next) {
        }
        last = clock_type::now();
        if (write(master, &byte, 1) != 1)
            return last;
        next += byte_time;
    }
    return last;
}

void measure(int master, size_t text_length, const std::vector<pid_t>& skip)
{
    std::vector<double> delays;
    long switches_before = switches_except(skip);
    for (int i = 0; i < packets_per_size; i++) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "p%zu-%03d ", text_length, i);
        std::string text = tag;
        text.resize(text_length - 3, 'x');
        clock_type::time_point last = write_paced(master, text_packet(text));
        while (!newest_line_is(text)) {
        }
        delays.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - last).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(3));  // a gap between packets
    }
    long wakes = switches_except(skip) - switches_before;
    std::sort(delays.begin(), delays.end());
    std::printf("%3zu-byte packets: last byte to handling median %.0f us, 99th percentile %.0f us, max %.0f us; "
                "%.1f reading-thread wake-ups a packet\n",
                text_length, delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back(),
                static_cast<double>(wakes) / packets_per_size);
}

} // namespace

int main()
{
    std::string log_path = std::filesystem::temp_directory_path() / ("serial_bench_" + std::to_string(getpid()) + ".txt");
    log_restart(log_path.c_str());
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::printf("no pseudo-terminal\n");
        return 0;
    }
    serial_class port;
    port.set_device_handler(device_id, controller_data);
    port.set_device_handler(serial_text_device, serial_text_line);
    std::snprintf(port.port_name, sizeof port.port_name, "%s", ptsname(master) + 5);  // "pts/N", opened under /dev/
    port.start(57600);
    if (port.get_state() != 1) {
        std::printf("the port did not open\n");
        return 0;
    }
    std::vector<pid_t> skip{getpid()};
    for (size_t length : {6, 60, 254})
        measure(master, length, skip);
    port.stop();
    close(master);
    std::remove(log_path.c_str());
    return 0;
}

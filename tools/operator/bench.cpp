// Measuring round trips over the operator link.
#include "bench.h"

#include "connection.h"
#include "protocol.h"
#include "replies.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

// Round trips before the measured ones, so that the first figures do not carry the connection's start.
constexpr int warm_up_round_trips = 3;

// One stop message and its reply; returns the time in microseconds, or a negative value on failure.
double round_trip(int socket, replies_type* replies, std::string* error)
{
    // A stop message: measuring must never move the robot.
    control_message_type stop = protocol_control_message(0, 0, 0);
    telemetry_message_type reply;
    auto start = std::chrono::steady_clock::now();
    if (connection_send(socket, stop.data(), stop.size(), error) != 0) {
        *error = "connection lost: " + *error;
        return -1;
    }
    if (replies_wait(replies, socket, &reply, error) != 0)
        return -1;
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void print_figures(std::vector<double>* samples)
{
    std::sort(samples->begin(), samples->end());
    std::printf("round trips: %zu\n", samples->size());
    std::printf("median: %.1f us\n", bench_median(*samples));
    std::printf("99th percentile: %.1f us\n", bench_percentile(*samples, 0.99));
    std::printf("min: %.1f us, max: %.1f us\n", samples->front(), samples->back());
}

} // namespace

double bench_percentile(const std::vector<double>& sorted, double share)
{
    size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

double bench_median(const std::vector<double>& sorted)
{
    size_t middle = sorted.size() / 2;
    return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2.0;
}

int bench_run(const options_type& options)
{
    std::string name = connection_name(options.host, options.port);
    std::string error;
    int socket = connection_open_or_say(options.host, options.port);
    if (socket < 0)
        return 1;
    replies_type replies;
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(options.bench_count));
    for (long i = 0; i < warm_up_round_trips + options.bench_count; i++) {
        double micros = round_trip(socket, &replies, &error);
        if (micros < 0) {
            std::fprintf(stderr, "quillon-operator: %s: %s\n", name.c_str(), error.c_str());
            connection_close(socket);
            return 1;
        }
        if (i >= warm_up_round_trips)
            samples.push_back(micros);
    }
    connection_close(socket);
    print_figures(&samples);
    return 0;
}

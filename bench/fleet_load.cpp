// A fleet of simulated robots for the fleet benchmark: N MQTT clients (one connection each, as real robots
// have), each with its retained online status and telemetry at a steady rate, spread evenly over time.
//   quillon-fleet-load --broker mqtt://host:port --robots N [--rate 2] [--seconds 20] [--prefix load]
// Each telemetry message carries its publish time ("time", Unix seconds), so the fleet page can tell the
// delay. Clients run without threads of their own: one loop services them all.
#include <mosquitto.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

double wall_time()
{
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

std::string telemetry(double time)
{
    char text[400];
    std::snprintf(text, sizeof text,
                  "{\"time\":%.6f,\"serial_rate\":10,\"camera_rate\":null,\"remote\":false,\"auto\":false,"
                  "\"left\":{\"target\":0,\"speed\":0,\"reverse\":false},\"right\":{\"target\":0,\"speed\":0,"
                  "\"reverse\":false},\"analog\":[0.1,0.2,0,0,0,0,0,0],\"driver\":\"none\"}",
                  time);
    return text;
}

struct options_type {
    std::string host = "127.0.0.1", prefix = "load";
    int port = 1883, robots = 100;
    double rate = 2.0, seconds = 20.0;
};

bool parse(int argc, char** argv, options_type& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--broker" && value.rfind("mqtt://", 0) == 0) {
            std::string rest = value.substr(7);
            options.host = rest.substr(0, rest.rfind(':'));
            options.port = std::atoi(rest.c_str() + rest.rfind(':') + 1);
        } else if (name == "--robots") {
            options.robots = std::atoi(value.c_str());
        } else if (name == "--rate") {
            options.rate = std::atof(value.c_str());
        } else if (name == "--seconds") {
            options.seconds = std::atof(value.c_str());
        } else if (name == "--prefix") {
            options.prefix = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && options.robots > 0 && options.rate > 0;
}

} // namespace

int main(int argc, char** argv)
{
    options_type options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: quillon-fleet-load --broker mqtt://host:port --robots N [--rate 2] [--seconds 20] "
                   "[--prefix load]\n", stderr);
        return 2;
    }
    mosquitto_lib_init();
    std::vector<mosquitto*> clients;
    std::vector<std::string> topics;
    for (int i = 0; i < options.robots; i++) {
        std::string name = options.prefix + std::to_string(i);
        mosquitto* client = mosquitto_new(name.c_str(), true, nullptr);
        std::string status = "quillon/" + name + "/status";
        const char* offline = "{\"state\":\"offline\"}";
        mosquitto_will_set(client, status.c_str(), static_cast<int>(std::strlen(offline)), offline, 1, true);
        if (mosquitto_connect(client, options.host.c_str(), options.port, 60) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "quillon-fleet-load: robot %d could not connect\n", i);
            return 1;
        }
        std::string online = "{\"state\":\"online\",\"version\":\"load\",\"started\":" +
                             std::to_string(static_cast<long>(wall_time())) + ",\"console\":null}";
        mosquitto_publish(client, nullptr, status.c_str(), static_cast<int>(online.size()), online.data(), 1, true);
        clients.push_back(client);
        topics.push_back("quillon/" + name + "/telemetry");
    }
    std::printf("connected %d robots\n", options.robots);
    std::fflush(stdout);
    double period = 1.0 / options.rate, start = wall_time(), end = start + options.seconds;
    std::vector<double> due(clients.size());
    for (size_t i = 0; i < clients.size(); i++)
        due[i] = start + period * static_cast<double>(i) / static_cast<double>(clients.size());
    long sent = 0;
    double next_service = start;
    while (wall_time() < end) {
        double now = wall_time();
        for (size_t i = 0; i < clients.size(); i++) {
            if (now < due[i])
                continue;
            due[i] += period;
            std::string text = telemetry(wall_time());
            mosquitto_publish(clients[i], nullptr, topics[i].c_str(), static_cast<int>(text.size()), text.data(), 0, false);
            sent++;
        }
        if (now >= next_service) {  // pings and incoming bytes, once a second
            next_service = now + 1.0;
            for (mosquitto* client : clients)
                mosquitto_loop(client, 0, 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::printf("sent %ld telemetry messages in %.1f s\n", sent, wall_time() - start);
    for (mosquitto* client : clients) {
        mosquitto_disconnect(client);
        mosquitto_destroy(client);
    }
    mosquitto_lib_cleanup();
    return 0;
}

// quillon-fleet's side of the broker: one client id per run, so several quillon-fleet can watch the same
// fleet; it holds nothing the broker does not, and retained messages bring a new one up to date at once.
#include "fleet_mqtt.h"

#include "fleet/fleet_network.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

mosquitto* client = nullptr;
fleet_network_class network;  // runs the client
fleet_receiver receive;

void on_connect(mosquitto* m, void*, int rc)
{
    if (rc != 0) {
        std::fprintf(stderr, "quillon-fleet: broker refused the connection (%s)\n", mosquitto_reason_string(rc));
        return;
    }
    network.connected();
    std::fprintf(stderr, "quillon-fleet: on the broker\n");
    mosquitto_subscribe(m, nullptr, "quillon/+/#", 0);
}

void on_disconnect(mosquitto*, void*, int rc)
{
    if (rc != 0)
        std::fprintf(stderr, "quillon-fleet: broker lost; reconnecting\n");
}

void on_message(mosquitto*, void*, const mosquitto_message* message)
{
    receive(message->topic, std::string_view(static_cast<const char*>(message->payload), message->payloadlen));
}

bool split_broker(const std::string& url, bool& tls, std::string& host, int& port)
{
    tls = url.rfind("mqtts://", 0) == 0;
    if (!tls && url.rfind("mqtt://", 0) != 0)
        return false;
    std::string rest = url.substr(tls ? 8 : 7);
    size_t colon = rest.rfind(':');
    host = rest.substr(0, colon);
    port = colon == std::string::npos ? (tls ? 8883 : 1883) : std::atoi(rest.c_str() + colon + 1);
    return !host.empty() && port > 0 && port < 65536;
}

} // namespace

bool fleet_mqtt_start(const fleet_mqtt_options_type& options, fleet_receiver receiver)
{
    bool tls = false;
    std::string host;
    int port = 0;
    if (!split_broker(options.broker, tls, host, port)) {
        std::fprintf(stderr, "quillon-fleet: --broker must be mqtt://host:port or mqtts://host:port\n");
        return false;
    }
    receive = std::move(receiver);
    mosquitto_lib_init();
    std::string id = "quillon-fleet-" + std::to_string(std::random_device()());
    client = mosquitto_new(id.c_str(), true, nullptr);
    if (client == nullptr)
        return false;
    if (!options.user.empty())
        mosquitto_username_pw_set(client, options.user.c_str(), options.password.c_str());
    if (tls && mosquitto_tls_set(client, options.ca.empty() ? nullptr : options.ca.c_str(),
                                 options.ca.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr) != 0) {
        std::fprintf(stderr, "quillon-fleet: --ca %s not usable\n", options.ca.c_str());
        return false;
    }
    // As the robots do: MQTT 5, and a STOP from a page never waits behind Nagle's delay.
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client, on_connect);
    mosquitto_disconnect_callback_set(client, on_disconnect);
    mosquitto_message_callback_set(client, on_message);
    return network.start(client, host, port, 10);
}

void fleet_mqtt_publish(const std::string& topic, const std::string& payload)
{
    mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, false);
}

void fleet_mqtt_stop()
{
    if (client == nullptr)
        return;
    network.stop();
    mosquitto_destroy(client);
    client = nullptr;
    mosquitto_lib_cleanup();
}

// quillon-fleet's MQTT client (libmosquitto on its own network thread): subscribes to quillon/+/#,
// hands every message to a receiver, and publishes the pages' drive and stop commands.
#pragma once

#include <functional>
#include <string>
#include <string_view>

struct fleet_mqtt_options_type {
    std::string broker;    // mqtt://host:port or mqtts://host:port
    std::string user, password, ca;
};

// Called on the network thread with each message's topic and payload.
using fleet_receiver = std::function<void(std::string_view topic, std::string_view payload)>;

// Connects (and keeps reconnecting with back-off); false with a line on standard error when the options
// cannot work at all.
bool fleet_mqtt_start(const fleet_mqtt_options_type& options, fleet_receiver receiver);
void fleet_mqtt_publish(const std::string& topic, const std::string& payload);
void fleet_mqtt_stop();

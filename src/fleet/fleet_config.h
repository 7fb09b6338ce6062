// The fleet link's configuration keys (mqtt_broker, robot_name, mqtt_user, mqtt_password, mqtt_ca,
// mqtt_rate, mqtt_keepalive) and the checks on them that need no MQTT library.
#pragma once

#include <string>

struct fleet_config_type {
    std::string broker;         // mqtt_broker: mqtt://host:port or mqtts://host:port; empty: no fleet link
    std::string robot_name;     // robot_name: empty means the host name
    std::string user;           // mqtt_user
    std::string password;       // mqtt_password
    std::string ca;             // mqtt_ca: CA certificate file (PEM) for mqtts
    double rate = 2.0;          // mqtt_rate: telemetry messages a second
    int keepalive = 10;         // mqtt_keepalive: seconds
};

// The broker's address taken apart; ok is false when the text is no mqtt:// or mqtts:// address.
struct fleet_broker_type {
    bool ok = false;
    bool tls = false;
    std::string host;
    int port = 0;
};
fleet_broker_type fleet_parse_broker(const std::string& url);

// One configuration line whose key is key, position after the key; false for keys that are not the
// fleet link's.
bool fleet_parse_key(const char* key, const char* line, unsigned int& position, fleet_config_type& config);

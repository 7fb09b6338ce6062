// The fleet link's configuration keys and the check on the broker address.
#include "fleet/fleet_config.h"

#include "services/utility.h"
#include "services/message_lines.h"

#include <cstdlib>
#include <cstring>


namespace {

// mqtt_rate: 0.1 to 50 messages a second; mqtt_keepalive: 5 to 600 seconds (the library takes no less).
void set_number(const char* key, const char* value, fleet_config_type& fleet_config)
{
    char* end = nullptr;
    double number = std::strtod(value, &end);
    bool rate = std::strcmp(key, "mqtt_rate") == 0;
    double low = rate ? 0.1 : 5, high = rate ? 50 : 600;
    if (end == value || *end != 0 || !(number >= low && number <= high)) {
        add_line("load_config: %s '%s' refused: a number from %g to %g", key, value, low, high);
        return;
    }
    if (rate)
        fleet_config.rate = number;
    else
        fleet_config.keepalive = static_cast<int>(number);
}

} // namespace

fleet_broker_type fleet_parse_broker(const std::string& url)
{
    fleet_broker_type broker;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        broker.tls = true;
    } else {
        return broker;
    }
    size_t colon = rest.rfind(':');
    std::string port_text = colon == std::string::npos ? "" : rest.substr(colon + 1);
    broker.host = colon == std::string::npos ? rest : rest.substr(0, colon);
    if (!port_text.empty() && port_text.back() == '/')
        port_text.pop_back();
    char* end = nullptr;
    long port = port_text.empty() ? (broker.tls ? 8883 : 1883) : std::strtol(port_text.c_str(), &end, 10);
    if ((end != nullptr && *end != 0) || port < 1 || port > 65535 || broker.host.empty() ||
        broker.host.find_first_of("/ ") != std::string::npos)
        return broker;
    broker.port = static_cast<int>(port);
    broker.ok = true;
    return broker;
}

bool fleet_parse_key(const char* key, const char* line, unsigned int& position, fleet_config_type& fleet_config)
{
    std::string* text = std::strcmp(key, "mqtt_broker") == 0     ? &fleet_config.broker
                        : std::strcmp(key, "robot_name") == 0    ? &fleet_config.robot_name
                        : std::strcmp(key, "mqtt_user") == 0     ? &fleet_config.user
                        : std::strcmp(key, "mqtt_password") == 0 ? &fleet_config.password
                        : std::strcmp(key, "mqtt_ca") == 0       ? &fleet_config.ca
                                                                 : nullptr;
    bool number = std::strcmp(key, "mqtt_rate") == 0 || std::strcmp(key, "mqtt_keepalive") == 0;
    if (text == nullptr && !number)
        return false;
    char value[1025];
    get_next_string(line, position, value);
    if (text != nullptr)
        *text = value;
    else if (value[0] != 0)
        set_number(key, value, fleet_config);
    return true;
}

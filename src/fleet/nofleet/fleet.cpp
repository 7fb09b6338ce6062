// The fleet link in a build without libmosquitto (the Windows one): a configured broker is told to be
// out of reach, and nothing else happens.
#include "fleet/fleet.h"

#include "services/message_lines.h"
#include "fleet/fleet_config.h"

void fleet_start(const fleet_config_type& config)
{
    if (!config.broker.empty())
        add_line("Fleet: MQTT is not in this build; mqtt_broker ignored");
}

void fleet_stop() {}
void fleet_check(double) {}
bool fleet_running() { return false; }
void fleet_notice(const std::string&) {}

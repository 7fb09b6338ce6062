// The rule for a robot's name on the fleet link, one for the robot and for quillon-fleet alike: one MQTT
// topic level that every broker takes and every fleet page shows as it is. The same rule holds for the
// operators' names in drive messages.
#pragma once

#include <cstddef>
#include <string_view>

constexpr size_t fleet_name_max = 64;  // bytes

// Why the name cannot be used, as the end of a sentence ("is not UTF-8"); nullptr when it can.
const char* fleet_name_fault(std::string_view name);

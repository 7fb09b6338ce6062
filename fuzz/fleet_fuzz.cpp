// Feeds the fleet link's parsers what a broker's publisher controls: drive and stop payloads, and the
// name rule that robot and operator names pass. Whatever they take must keep its promises.
#include "fleet/fleet_messages.h"
#include "fleet/fleet_name.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

bool unit(double value)
{
    return value >= -1.0 && value <= 1.0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fleet_drive_type drive = fleet_parse_drive(text);
    if (drive.ok && (drive.command.keys > 15 || !unit(drive.command.forward) || !unit(drive.command.turn) ||
                     size > fleet_drive_max || (!drive.by.empty() && fleet_name_fault(drive.by) != nullptr)))
        __builtin_trap();
    std::string by = fleet_stop_operator(text);
    if (!by.empty() && fleet_name_fault(by) != nullptr)
        __builtin_trap();
    if (fleet_name_fault(text) == nullptr &&
        (size == 0 || size > fleet_name_max || text.find_first_of("/+#") != std::string_view::npos))
        __builtin_trap();
    return 0;
}

// Feeds the Foxglove protocol's parsers what a client controls: its text and binary messages, the Twists
// it publishes and the subprotocols it offers. Parsed lists stay within their limits; drive values stay
// within -1..1; a refused message always says why.
#include "channels/channels.h"
#include "web/foxglove_protocol.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const foxglove_request_type& request : {foxglove_parse_text(bytes), foxglove_parse_binary(bytes)}) {
        if (request.kind == foxglove_request_kind::invalid && request.error.empty())
            __builtin_trap();
        if (request.subscriptions.size() > foxglove_list_max || request.ids.size() > foxglove_list_max ||
            request.channels.size() > foxglove_list_max || request.names.size() > foxglove_list_max)
            __builtin_trap();
    }
    double forward = 0.0, turn = 0.0;
    if (foxglove_parse_twist(bytes, &forward, &turn) && (forward < -1 || forward > 1 || turn < -1 || turn > 1))
        __builtin_trap();
    foxglove_offered(bytes);
    foxglove_parameter_values(foxglove_config_parameters(bytes), {}, "");
    channels_log_json(reinterpret_cast<const char*>(data), size, 0);
    return 0;
}

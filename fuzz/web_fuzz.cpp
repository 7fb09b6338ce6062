// Feeds the web console's parsers what a browser controls: its messages, and the target, Authorization,
// Origin and Host of its requests. The JSON written back must stay valid for any text.
#include "web/web_access.h"
#include "web/web_messages.h"
#include "web/web_stop_scan.h"

#include <boost/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    web_request_type request = web_parse_request(text);
    if (request.kind == web_request_kind::drive && request.keys > 15)
        __builtin_trap();
    if (request.kind == web_request_kind::invalid && request.error.empty())
        __builtin_trap();
    // The STOP scan sees the same bytes in pieces of every size; a message the parser takes as a STOP is
    // one for the scan too.
    web_stop_scan_class scan;
    for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece % 7 + 1)
        scan.feed(text.substr(at, piece));
    if (request.kind == web_request_kind::stop && !scan.stop())
        __builtin_trap();

    std::string escaped;
    web_append_json_string(escaped, text);
    boost::json::error_code error;
    boost::json::value back = boost::json::parse(escaped, error);
    if (error || !back.is_string())
        __builtin_trap();

    // The same bytes cut into the four header values of a request.
    std::string_view parts[4];
    for (int i = 0; i < 3; i++) {
        size_t cut = text.find('\n');
        parts[i] = text.substr(0, cut);
        text = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
    }
    parts[3] = text;
    web_request_facts_type facts{parts[0], parts[1], parts[2], parts[3], true, size % 2 == 0, static_cast<int>(size % 10)};
    int status = web_access_status(facts, "0123456789abcdef");
    if (status != 200 && status != 400 && status != 401 && status != 403 && status != 503)
        __builtin_trap();
    web_target_path(parts[0]);
    return 0;
}

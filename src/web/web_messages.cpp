// Parsing the browsers' messages (Boost.JSON, compiled into this unit) and writing the state message.
#include "web/web_messages.h"

#include "channels/channels.h"

#include <boost/json/src.hpp>

#include <cmath>
#include <cstring>

namespace json = boost::json;

namespace {

// One direction of a drive message: 0 or 1 (or false or true); absent counts as 0. False when the
// value is anything else.
bool read_key(const json::object& message, const char* name, unsigned int bit, unsigned int& keys)
{
    const json::value* value = message.if_contains(name);
    if (value == nullptr)
        return true;
    bool held = false;
    if (value->is_bool())
        held = value->get_bool();
    else if (value->is_int64() && (value->get_int64() == 0 || value->get_int64() == 1))
        held = value->get_int64() == 1;
    else if (value->is_uint64() && value->get_uint64() <= 1)
        held = value->get_uint64() == 1;
    else
        return false;
    if (held)
        keys |= bit;
    return true;
}

// A proportional drive value: a finite number from -1 to 1, integer or not.
bool read_value(const json::object& message, const char* name, double& out)
{
    const json::value* value = message.if_contains(name);
    if (value == nullptr || !value->is_number())
        return false;
    out = value->to_number<double>();
    return std::isfinite(out) && out >= -1.0 && out <= 1.0;
}

web_request_type invalid(const char* why)
{
    web_request_type request;
    request.error = why;
    return request;
}

} // namespace

web_request_type web_parse_request(std::string_view text)
{
    if (text.size() > web_message_max)
        return invalid("message too long");
    json::error_code error;
    json::parse_options options;
    options.max_depth = 8;
    json::value value = json::parse(json::string_view(text.data(), text.size()), error, {}, options);
    if (error || !value.is_object())
        return invalid("not a JSON object");
    const json::object& message = value.get_object();
    const json::value* type = message.if_contains("type");
    if (type == nullptr || !type->is_string())
        return invalid("no type");
    web_request_type request;
    if (type->get_string() == "stop") {
        request.kind = web_request_kind::stop;
        return request;
    }
    if (type->get_string() != "drive")
        return invalid("unknown type");
    if (message.contains("forward") || message.contains("turn")) {
        for (const char* key : {"w", "a", "s", "d"})
            if (message.contains(key))
                return invalid("a drive message has either directions or forward and turn");
        if (!read_value(message, "forward", request.forward) || !read_value(message, "turn", request.turn))
            return invalid("forward and turn must both be numbers from -1 to 1");
        request.proportional = true;
        request.kind = web_request_kind::drive;
        return request;
    }
    if (!read_key(message, "w", web_key_w, request.keys) || !read_key(message, "a", web_key_a, request.keys) ||
        !read_key(message, "s", web_key_s, request.keys) || !read_key(message, "d", web_key_d, request.keys))
        return invalid("a direction is neither 0 nor 1");
    request.kind = web_request_kind::drive;
    return request;
}

void web_append_json_string(std::string& out, std::string_view text)
{
    channels_append_json_string(out, text.data(), text.size());
}

std::string web_state_prefix(const web_state_type& state)
{
    const robot_snapshot_type& robot = state.robot;
    std::string out;
    out.reserve(1024);
    out += "{\"type\":\"state\",\"serial_rate\":";
    channels_append_number(out, robot.serial_rate);
    out += ",\"camera_rate\":";
    if (robot.has_camera)
        channels_append_number(out, robot.camera_rate);
    else
        out += "null";
    out += robot.remote ? ",\"remote\":true" : ",\"remote\":false";
    out += robot.auto_mode ? ",\"auto\":true" : ",\"auto\":false";
    channels_append_side(out, "left", robot.left_target, robot.left_speed, robot.left_reverse);
    channels_append_side(out, "right", robot.right_target, robot.right_speed, robot.right_reverse);
    out += ",\"analog\":[";
    for (int i = 0; i < 8; i++) {
        if (i > 0)
            out += ',';
        channels_append_number(out, robot.analog[i]);
    }
    out += "],\"messages\":[";
    for (int i = 0; i < state.message_count && i < text_line_count; i++) {
        if (i > 0)
            out += ',';
        web_append_json_string(out, std::string_view(state.messages[i], strnlen(state.messages[i], text_line_size)));
    }
    out += "],\"driver\":";
    web_append_json_string(out, driver_name(robot.driver));
    out += ",\"browsers\":";
    out += std::to_string(state.browsers);
    out += ",\"time\":";
    channels_append_number(out, state.time);
    return out;
}

std::string web_finish_state(const std::string& prefix, bool you_drive)
{
    return prefix + (you_drive ? ",\"you_drive\":true}" : ",\"you_drive\":false}");
}

std::string web_error_message(std::string_view text)
{
    std::string out = "{\"type\":\"error\",\"message\":";
    web_append_json_string(out, text);
    out += '}';
    return out;
}

std::string web_notice_message(std::string_view text)
{
    std::string out = "{\"type\":\"notice\",\"message\":";
    web_append_json_string(out, text);
    out += '}';
    return out;
}

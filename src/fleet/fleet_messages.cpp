// Parsing the drive messages a robot takes over MQTT and writing its status and telemetry messages.
#include "fleet/fleet_messages.h"

#include "channels/channels.h"
#include "fleet/fleet_name.h"
#include "web/web_messages.h"

#include <boost/json.hpp>

#include <cmath>
#include <cstdio>

namespace json = boost::json;

namespace {

// A number from -1 to 1, or nothing.
bool read_unit(const json::object& message, const char* name, double& out)
{
    const json::value* value = message.if_contains(name);
    if (value == nullptr) {
        out = 0.0;
        return true;
    }
    if (!value->is_number())
        return false;
    out = value->to_number<double>();
    return std::isfinite(out) && out >= -1.0 && out <= 1.0;
}

bool read_keys(const json::string& text, unsigned int& keys)
{
    keys = 0;
    for (char c : text) {
        unsigned int bit = c == 'w' ? drive_key_w : c == 'a' ? drive_key_a : c == 's' ? drive_key_s
                         : c == 'd' ? drive_key_d : 0;
        if (bit == 0)
            return false;
        keys |= bit;
    }
    return true;
}

// The message as an object; null when it is none or over the drive limit.
json::value parse_object(std::string_view text)
{
    if (text.size() > fleet_drive_max)
        return nullptr;
    boost::system::error_code error;
    json::value parsed = json::parse(json::string_view(text.data(), text.size()), error);
    return error || !parsed.is_object() ? json::value() : parsed;
}

// "by", when present, is a good name.
bool read_by(const json::object& message, std::string& by)
{
    const json::value* value = message.if_contains("by");
    if (value == nullptr)
        return true;
    if (!value->is_string())
        return false;
    by = std::string(value->get_string());
    return fleet_name_fault(by) == nullptr;
}

} // namespace

fleet_drive_type fleet_parse_drive(std::string_view text)
{
    fleet_drive_type drive;
    json::value parsed = parse_object(text);
    if (!parsed.is_object() || !read_by(parsed.get_object(), drive.by))
        return drive;
    const json::object& message = parsed.get_object();
    const json::value* keys = message.if_contains("keys");
    if (keys != nullptr) {
        drive.ok = keys->is_string() && read_keys(keys->get_string(), drive.command.keys);
        return drive;
    }
    if (!message.contains("forward") && !message.contains("turn"))
        return drive;
    drive.command.proportional = true;
    drive.ok = read_unit(message, "forward", drive.command.forward) && read_unit(message, "turn", drive.command.turn);
    return drive;
}

std::string fleet_stop_operator(std::string_view text)
{
    json::value parsed = parse_object(text);
    std::string by;
    if (!parsed.is_object() || !read_by(parsed.get_object(), by))
        return std::string();
    return by;
}

std::string fleet_status_online(const char* version, double started, const std::string& console_url)
{
    std::string out = "{\"state\":\"online\",\"version\":";
    web_append_json_string(out, version);
    char number[32];
    std::snprintf(number, sizeof number, "%.0f", started);
    out += ",\"started\":";
    out += number;
    out += ",\"console\":";
    if (console_url.empty())
        out += "null";
    else
        web_append_json_string(out, console_url);
    out += "}";
    return out;
}

std::string fleet_status_offline()
{
    return "{\"state\":\"offline\"}";
}

std::string fleet_telemetry_json(const robot_snapshot_type& values, double time)
{
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f", time);
    std::string out = "{\"time\":";
    out += stamp;
    out += ",\"serial_rate\":";
    channels_append_number(out, values.serial_rate, 4);
    out += ",\"camera_rate\":";
    if (values.has_camera)
        channels_append_number(out, values.camera_rate, 4);
    else
        out += "null";
    out += values.remote ? ",\"remote\":true" : ",\"remote\":false";
    out += values.auto_mode ? ",\"auto\":true" : ",\"auto\":false";
    channels_append_side(out, "left", values.left_target, values.left_speed, values.left_reverse, 4);
    channels_append_side(out, "right", values.right_target, values.right_speed, values.right_reverse, 4);
    out += ",\"analog\":[";
    for (int i = 0; i < 8; i++) {
        if (i > 0)
            out += ",";
        channels_append_number(out, values.analog[i], 4);
    }
    out += "],\"driver\":";
    web_append_json_string(out, driver_name(values.driver));
    out += "}";
    return out;
}

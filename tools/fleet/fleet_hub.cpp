// The fleet's newest messages and the events made of them (Boost.JSON, compiled into this unit).
#include "fleet_hub.h"

#include "fleet/fleet_name.h"

#include <boost/json/src.hpp>

#include <cctype>

namespace json = boost::json;

namespace {

std::string event(const std::string& robot, const char* topic, const json::value& body)
{
    json::object out;
    out["robot"] = robot;
    out["topic"] = topic;
    out["data"] = body;
    return json::serialize(out);
}

// The page's text for a message line: the bytes as UTF-8 where they are, '?' where not.
std::string line_text(std::string_view payload)
{
    std::string text;
    for (unsigned char c : payload)
        text += c < 0x20 || c >= 0x80 ? '?' : static_cast<char>(c);
    return text;
}

} // namespace

fleet_topic_type fleet_split_topic(std::string_view topic)
{
    fleet_topic_type split;
    constexpr std::string_view root = "quillon/";
    if (topic.substr(0, root.size()) != root)
        return split;
    topic.remove_prefix(root.size());
    size_t slash = topic.find('/');
    if (slash == std::string_view::npos || fleet_name_fault(topic.substr(0, slash)) != nullptr)
        return split;
    split.robot = std::string(topic.substr(0, slash));
    split.topic = std::string(topic.substr(slash + 1));
    return split;
}

bool fleet_hub_class::receive(std::string_view topic_name, std::string_view payload)
{
    fleet_topic_type topic = fleet_split_topic(topic_name);
    bool known = topic.topic == "status" || topic.topic == "telemetry" || topic.topic == "messages" ||
                 topic.topic == "picture";
    if (topic.robot.empty() || !known)
        return topic.topic == "drive" || topic.topic == "stop";  // operators' own messages pass by
    if (payload.size() > (topic.topic == "picture" ? fleet_picture_max : fleet_payload_max))
        return false;
    fleet_robot_type& robot = robots[topic.robot];
    if (topic.topic == "picture") {
        robot.picture.assign(payload);
        robot.picture_number++;
        send(topic.robot, "picture", event(topic.robot, "picture", json::value(robot.picture_number)));
        return true;
    }
    if (topic.topic == "messages") {
        robot.messages = event(topic.robot, "messages", json::value(json::string_view(line_text(payload))));
        send(topic.robot, "messages", robot.messages);
        return true;
    }
    boost::system::error_code error;
    json::value body = json::parse(json::string_view(payload.data(), payload.size()), error);
    if (error || !body.is_object())
        return false;
    bool status = topic.topic == "status";
    if (status)
        fleet_check_console(body.get_object());
    std::string& slot = status ? robot.status : robot.telemetry;
    slot = event(topic.robot, topic.topic.c_str(), body);
    send(topic.robot, status ? "status" : "telemetry", slot);
    return true;
}

int fleet_hub_class::listen(fleet_listener listener)
{
    for (auto& [name, robot] : robots) {
        for (auto [topic, known] : {std::pair{"status", &robot.status}, std::pair{"telemetry", &robot.telemetry},
                                    std::pair{"messages", &robot.messages}})
            if (!known->empty())
                listener(name + "/" + topic, *known);
        if (!robot.picture.empty())
            listener(name + "/picture", event(name, "picture", json::value(robot.picture_number)));
    }
    listeners[next_handle] = std::move(listener);
    return next_handle++;
}

void fleet_hub_class::forget(int handle)
{
    listeners.erase(handle);
}

std::string_view fleet_hub_class::picture(const std::string& robot) const
{
    auto found = robots.find(robot);
    return found == robots.end() ? std::string_view() : std::string_view(found->second.picture);
}

void fleet_hub_class::send(const std::string& robot, const char* topic, const std::string& text)
{
    std::string slot = robot + "/" + topic;
    for (auto& [handle, listener] : listeners)
        listener(slot, text);
}

void fleet_check_console(json::object& status)
{
    json::value* console = status.if_contains("console");
    if (console == nullptr || !console->is_string())
        return;
    std::string_view address = console->get_string();
    auto starts = [&](std::string_view scheme) {
        if (address.size() <= scheme.size())
            return false;
        for (size_t i = 0; i < scheme.size(); i++)
            if (std::tolower(static_cast<unsigned char>(address[i])) != scheme[i])
                return false;
        return true;
    };
    if (!starts("http://") && !starts("https://"))
        *console = nullptr;
}

fleet_command_type fleet_parse_command(std::string_view text)
{
    fleet_command_type command;
    boost::system::error_code error;
    json::value parsed = text.size() > 1024 ? json::value() : json::parse(json::string_view(text.data(), text.size()), error);
    if (error || !parsed.is_object())
        return command;
    const json::object& message = parsed.get_object();
    const json::value* robot = message.if_contains("robot");
    if (robot == nullptr || !robot->is_string())
        return command;
    command.robot = std::string(robot->get_string());
    if (fleet_name_fault(command.robot) != nullptr)
        return fleet_command_type();
    const json::value* keys = message.if_contains("keys");
    if (message.contains("stop")) {
        command.topic = "quillon/" + command.robot + "/stop";
        command.payload = "{}";
    } else if (keys != nullptr && keys->is_string() && keys->get_string().size() <= 4 &&
               std::string(keys->get_string()).find_first_not_of("wasd") == std::string::npos) {
        command.topic = "quillon/" + command.robot + "/drive";
        command.payload = "{\"keys\":\"" + std::string(keys->get_string()) + "\"}";
        command.releases = keys->get_string().empty();
    } else {
        return command;
    }
    command.ok = true;
    return command;
}

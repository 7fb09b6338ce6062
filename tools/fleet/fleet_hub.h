// What quillon-fleet knows of the fleet: the newest message of each robot's topics as the broker gave them
// (retained ones first), turned into the events the fleet page reads, and the pages that listen. Runs on
// the server's one thread; the MQTT thread posts what arrives.
#pragma once

#include <boost/json/fwd.hpp>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t fleet_payload_max = 64 * 1024;       // a status, telemetry or message-line payload
constexpr size_t fleet_picture_max = 2 * 1024 * 1024; // a picture

// The robot's name out of quillon/<name>/<topic>; empty when the topic is not of that shape or the name
// breaks the name rule that Quillon applies to its own (src/fleet/fleet_name.h).
struct fleet_topic_type {
    std::string robot;
    std::string topic;
};
fleet_topic_type fleet_split_topic(std::string_view topic);

// One robot's newest messages, each already the event the page takes.
struct fleet_robot_type {
    std::string status, telemetry, messages;  // events, empty until one came
    std::string picture;                      // the JPEG
    unsigned long picture_number = 0;
};

// An event with its slot: robot and topic. A newer event in a slot replaces one not yet sent, so what
// waits for a page is at most one event per slot.
using fleet_listener = std::function<void(const std::string& slot, const std::string& event)>;

class fleet_hub_class {
public:
    // One message from the broker; false when it was dropped (malformed or oversized).
    bool receive(std::string_view topic, std::string_view payload);
    // A page's listener gets every robot's newest events at once, then each new one.
    int listen(fleet_listener listener);
    void forget(int handle);
    // The robot's newest picture; empty when none.
    std::string_view picture(const std::string& robot) const;
    size_t robot_count() const { return robots.size(); }

private:
    void send(const std::string& robot, const char* topic, const std::string& event);
    std::map<std::string, fleet_robot_type> robots;
    std::map<int, fleet_listener> listeners;
    int next_handle = 1;
};

// A robot's status with its console address kept only when it is an http: or https: address (the page
// makes a link of it), else null.
void fleet_check_console(boost::json::object& status);

// A page's message to quillon-fleet: drive one robot ({"robot":R,"keys":"wa"}) or stop it
// ({"robot":R,"stop":true}). topic and payload are what to publish; ok false for anything else.
struct fleet_command_type {
    bool ok = false;
    std::string robot;
    std::string topic;    // quillon/R/drive or quillon/R/stop
    std::string payload;
    bool releases = false;  // a drive that holds nothing
};
fleet_command_type fleet_parse_command(std::string_view text);

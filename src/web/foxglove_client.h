// One Foxglove client's side of the connection as plain rules over its messages: its subscriptions (at
// most one per channel), the channels it advertises, the parameters it asks for, how fast it may send,
// and which statuses it is told how often. It may send as fast as a browser
// (web_message_rate_limit a second); a neutral Twist, a stop, is taken even above that. Time is an argument, so a test steps through it.
#pragma once

#include "channels/channels.h"
#include "robot/drivers.h"
#include "web/foxglove_protocol.h"
#include "web/web_drive_limit.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr auto foxglove_status_period = std::chrono::seconds(5);  // between statuses about one channel

using foxglove_time = std::chrono::steady_clock::time_point;

// What one client message asks of its session.
struct foxglove_actions_type {
    std::vector<std::string> replies;    // control messages to send, in order
    bool subscriptions_changed = false;  // the channels the client wants changed
    bool drive = false;                  // submit command for this client
    drive_command_type command;
    bool leave = false;                  // the channel it drove with went: it leaves the driver model
    bool close = false;                  // it sent too fast: close once the replies are written
};

class foxglove_client_class {
public:
    foxglove_actions_type take(const foxglove_request_type& request, foxglove_time now,
                               const std::vector<foxglove_parameter_type>& parameters);

    // Bits 1 << channel_kind of the channels subscribed to.
    unsigned int channel_mask() const;
    // The subscription id a channel's messages go out with; false when the channel has none.
    bool subscription(channel_kind kind, uint32_t* id) const;
    bool drove() const { return has_driven; }

private:
    struct client_channel_type {
        bool twist = false;         // geometry_msgs/Twist in JSON: it drives
        bool refused = false;       // a Twist in another encoding: said so, now and then
        foxglove_time told{};       // the last status about it
    };
    void subscribe(const foxglove_request_type& request, foxglove_actions_type& out);
    void unsubscribe(const foxglove_request_type& request, foxglove_actions_type& out);
    void advertise(const foxglove_request_type& request, foxglove_time now, foxglove_actions_type& out);
    void unadvertise(const foxglove_request_type& request, foxglove_actions_type& out);
    void publish(const foxglove_request_type& request, foxglove_time now, foxglove_actions_type& out);
    bool neutral_twist(const foxglove_request_type& request) const;
    bool due(foxglove_time& told, foxglove_time now);

    std::map<uint32_t, channel_kind> subscriptions;   // by the client's id; at most one per channel
    std::map<uint32_t, client_channel_type> channels; // by the client's id; at most foxglove_list_max
    web_drive_limit_class limit;                      // the same rate as a browser's
    foxglove_time unknown_told{};                     // the last status about a channel never advertised
    bool has_driven = false;                          // a Twist was submitted
};

// The rules of one Foxglove client's messages. Studio advertises channels of many kinds (a goal, a
// clicked point); those are taken and their messages left alone, without a word. Statuses about one
// channel come at most every few seconds, so a panel publishing at 20 Hz does not get 20 of them.
#include "web/foxglove_client.h"

#include <string>

namespace {

bool twist_schema(const std::string& name)
{
    return name == "geometry_msgs/Twist" || name == "geometry_msgs/msg/Twist";
}

std::string topic_text(const std::string& topic)
{
    return topic.substr(0, 80);
}

} // namespace

bool foxglove_client_class::due(foxglove_time& told, foxglove_time now)
{
    if (told != foxglove_time{} && now - told < foxglove_status_period)
        return false;
    told = now;
    return true;
}

bool foxglove_client_class::neutral_twist(const foxglove_request_type& request) const
{
    auto found = channels.find(request.channel);
    double forward = 1.0, turn = 1.0;
    return request.kind == foxglove_request_kind::publish && found != channels.end() && found->second.twist &&
           foxglove_parse_twist(request.payload, &forward, &turn) && forward == 0.0 && turn == 0.0;
}

foxglove_actions_type foxglove_client_class::take(const foxglove_request_type& request, foxglove_time now,
                                                  const std::vector<foxglove_parameter_type>& parameters)
{
    foxglove_actions_type out;
    // A stop is taken first, whatever the rate.
    bool stop = neutral_twist(request);
    if (stop)
        publish(request, now, out);
    if (!limit.take(now)) {
        out.replies.push_back(foxglove_status(2, "more than " + std::to_string(web_message_rate_limit) +
                                                     " messages a second: closing"));
        out.close = true;
        return out;
    }
    switch (request.kind) {
    case foxglove_request_kind::subscribe: subscribe(request, out); break;
    case foxglove_request_kind::unsubscribe: unsubscribe(request, out); break;
    case foxglove_request_kind::advertise: advertise(request, now, out); break;
    case foxglove_request_kind::unadvertise: unadvertise(request, out); break;
    case foxglove_request_kind::get_parameters:
        out.replies.push_back(foxglove_parameter_values(parameters, request.names, request.request_id));
        break;
    case foxglove_request_kind::set_parameters:
        out.replies.push_back(foxglove_status(1, "parameters are read-only: change config.txt and restart Quillon"));
        out.replies.push_back(foxglove_parameter_values(parameters, request.names, request.request_id));
        break;
    case foxglove_request_kind::publish:
        if (!stop)
            publish(request, now, out);
        break;
    case foxglove_request_kind::invalid: out.replies.push_back(foxglove_status(2, request.error)); break;
    }
    return out;
}

// Refused subscriptions are told in one status for each reason, however many one message holds.
void foxglove_client_class::subscribe(const foxglove_request_type& request, foxglove_actions_type& out)
{
    std::string in_use, taken, missing;
    auto note = [](std::string& list, const std::string& what) {
        if (list.size() < 200)
            list += (list.empty() ? "" : ", ") + what;
    };
    for (const foxglove_subscription_type& subscription : request.subscriptions) {
        uint32_t existing = 0;
        auto kind = static_cast<channel_kind>(subscription.channel - 1);
        if (subscription.channel < 1 || subscription.channel > channel_count) {
            note(missing, std::to_string(subscription.channel));
        } else if (subscriptions.count(subscription.id) != 0) {
            note(in_use, std::to_string(subscription.id));
        } else if (this->subscription(kind, &existing)) {
            note(taken, std::to_string(subscription.channel) + " as " + std::to_string(existing));
        } else {
            subscriptions[subscription.id] = kind;
            out.subscriptions_changed = true;
        }
    }
    if (!in_use.empty())
        out.replies.push_back(foxglove_status(2, "subscription ids in use, ignored: " + in_use));
    if (!taken.empty())
        out.replies.push_back(foxglove_status(1, "channels subscribed already, ignored: " + taken));
    if (!missing.empty())
        out.replies.push_back(foxglove_status(1, "no such channels: " + missing));
}

void foxglove_client_class::unsubscribe(const foxglove_request_type& request, foxglove_actions_type& out)
{
    for (uint32_t subscription : request.ids)
        out.subscriptions_changed |= subscriptions.erase(subscription) != 0;
}

void foxglove_client_class::advertise(const foxglove_request_type& request, foxglove_time now,
                                      foxglove_actions_type& out)
{
    for (const foxglove_client_channel_type& channel : request.channels) {
        if (channels.size() >= foxglove_list_max && channels.count(channel.id) == 0) {
            out.replies.push_back(foxglove_status(1, "channel " + topic_text(channel.topic) +
                                                         " is not taken: too many channels"));
            continue;
        }
        client_channel_type entry;
        bool twist = twist_schema(channel.schema_name);
        entry.twist = twist && channel.encoding == "json";
        entry.refused = twist && !entry.twist;
        if (entry.refused && due(entry.told, now))
            out.replies.push_back(foxglove_status(1, "channel " + topic_text(channel.topic) +
                                                         " is not taken: Quillon takes geometry_msgs/Twist in json"));
        channels[channel.id] = entry;
    }
}

void foxglove_client_class::unadvertise(const foxglove_request_type& request, foxglove_actions_type& out)
{
    for (uint32_t channel : request.ids) {
        auto found = channels.find(channel);
        if (found == channels.end())
            continue;
        out.leave |= found->second.twist && has_driven;
        channels.erase(found);
    }
}

void foxglove_client_class::publish(const foxglove_request_type& request, foxglove_time now,
                                    foxglove_actions_type& out)
{
    auto found = channels.find(request.channel);
    if (found == channels.end()) {
        if (due(unknown_told, now))
            out.replies.push_back(foxglove_status(1, "channel " + std::to_string(request.channel) + " is not advertised"));
        return;
    }
    client_channel_type& channel = found->second;
    if (channel.refused && due(channel.told, now))
        out.replies.push_back(foxglove_status(1, "channel " + std::to_string(request.channel) +
                                                     " is not taken: Quillon takes geometry_msgs/Twist in json"));
    if (!channel.twist)
        return;
    out.command.proportional = true;
    if (!foxglove_parse_twist(request.payload, &out.command.forward, &out.command.turn)) {
        if (due(channel.told, now))
            out.replies.push_back(foxglove_status(1, "a Twist needs linear.x and angular.z"));
        return;
    }
    has_driven = true;
    out.drive = true;
}

unsigned int foxglove_client_class::channel_mask() const
{
    unsigned int mask = 0;
    for (const auto& [id, kind] : subscriptions)
        mask |= 1u << static_cast<int>(kind);
    return mask;
}

bool foxglove_client_class::subscription(channel_kind kind, uint32_t* id) const
{
    for (const auto& [subscription, channel] : subscriptions)
        if (channel == kind) {
            *id = subscription;
            return true;
        }
    return false;
}

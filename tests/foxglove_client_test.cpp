// One Foxglove client's rules, stepped through time: subscriptions (one per channel, ids never reused),
// channels of unknown kinds taken quietly, statuses paced per channel, read-only parameters answered,
// and the rate limit that closes a flood but still takes its stop.
#include "web/foxglove_client.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

namespace json = boost::json;
using namespace std::chrono_literals;

namespace {

struct client_rig {
    foxglove_client_class client;
    foxglove_time now = foxglove_time{} + 1h;
    std::vector<foxglove_parameter_type> parameters = foxglove_config_parameters("web_port 8080\n");

    foxglove_actions_type text(const std::string& message) { return client.take(foxglove_parse_text(message), now, parameters); }
    foxglove_actions_type twist(uint32_t channel, double x, double z)
    {
        std::string payload = "{\"linear\":{\"x\":" + std::to_string(x) + "},\"angular\":{\"z\":" + std::to_string(z) + "}}";
        std::string frame = std::string("\x01", 1) + std::string(reinterpret_cast<const char*>(&channel), 4) + payload;
        return client.take(foxglove_parse_binary(frame), now, parameters);
    }
};

// The levels of the statuses among the replies, in order.
std::vector<int64_t> status_levels(const foxglove_actions_type& actions)
{
    std::vector<int64_t> levels;
    for (const std::string& reply : actions.replies)
        if (json::value value = json::parse(reply); value.at("op") == "status")
            levels.push_back(value.at("level").as_int64());
    return levels;
}

} // namespace

TEST(FoxgloveClient, OneSubscriptionPerChannelAndIdsNeverMoved)
{
    client_rig rig;
    struct {
        const char* message;
        std::vector<int64_t> levels;  // statuses it gets
        unsigned int mask;            // channels subscribed after it
    } steps[] = {
        {R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":1},{"id":2,"channelId":3}]})", {}, 0b0101},
        {R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":2}]})", {2}, 0b0101},   // id in use
        {R"({"op":"subscribe","subscriptions":[{"id":3,"channelId":3}]})", {1}, 0b0101},   // channel taken
        {R"({"op":"subscribe","subscriptions":[{"id":4,"channelId":9}]})", {1}, 0b0101},   // no channel
        {R"({"op":"unsubscribe","subscriptionIds":[2,77]})", {}, 0b0001},
        {R"({"op":"subscribe","subscriptions":[{"id":3,"channelId":3}]})", {}, 0b0101},
    };
    for (const auto& step : steps) {
        foxglove_actions_type actions = rig.text(step.message);
        EXPECT_EQ(status_levels(actions), step.levels) << step.message;
        EXPECT_EQ(rig.client.channel_mask(), step.mask) << step.message;
        rig.now += 100ms;
    }
    uint32_t id = 0;
    ASSERT_TRUE(rig.client.subscription(channel_kind::log, &id));
    EXPECT_EQ(id, 3u);
    EXPECT_FALSE(rig.client.subscription(channel_kind::bus, &id));

    // However many subscriptions a client asks for, it holds at most one per channel.
    std::string many = R"({"op":"subscribe","subscriptions":[)";
    for (int i = 0; i < 60; i++)
        many += (i ? "," : "") + std::string("{\"id\":") + std::to_string(100 + i) + ",\"channelId\":3}";
    rig.text(many + "]}");
    EXPECT_EQ(rig.client.channel_mask(), 0b0101u);
}

TEST(FoxgloveClient, ChannelsDriveOrAreLeftAloneAndStatusesArePaced)
{
    client_rig rig;
    EXPECT_TRUE(rig.text(R"({"op":"advertise","channels":[
        {"id":1,"topic":"/cmd_vel","encoding":"json","schemaName":"geometry_msgs/Twist"},
        {"id":2,"topic":"/move_base_simple/goal","encoding":"json","schemaName":"geometry_msgs/PoseStamped"},
        {"id":3,"topic":"/clicked_point","encoding":"json"}]})").replies.empty());
    EXPECT_EQ(status_levels(rig.text(R"({"op":"advertise","channels":[
        {"id":4,"topic":"/cmd_vel_ros","encoding":"cdr","schemaName":"geometry_msgs/msg/Twist"}]})")), std::vector<int64_t>{1});

    foxglove_actions_type drive = rig.twist(1, 0.5, 0.25);
    EXPECT_TRUE(drive.drive && drive.command.proportional);
    EXPECT_DOUBLE_EQ(drive.command.forward, 0.5);
    EXPECT_DOUBLE_EQ(drive.command.turn, -0.25);
    EXPECT_TRUE(rig.client.drove());

    // At 20 Hz for 6 s: the goal's messages are ignored without a word; the refused channel and a channel
    // never advertised are told about every 5 s, not 20 times a second.
    size_t refused = 0, unknown = 0, goal = 0;
    for (int i = 0; i < 120; i++, rig.now += 50ms) {
        refused += rig.twist(4, 0.1, 0).replies.size();
        unknown += rig.twist(9, 0.1, 0).replies.size();
        foxglove_actions_type ignored = rig.twist(2, 0.1, 0);
        goal += ignored.replies.size() + ignored.drive;
    }
    EXPECT_EQ(refused, 1u);  // its advertisement was told at the start
    EXPECT_EQ(unknown, 2u);
    EXPECT_EQ(goal, 0u);

    EXPECT_TRUE(rig.text(R"({"op":"unadvertise","channelIds":[1]})").leave);
    EXPECT_FALSE(rig.text(R"({"op":"unadvertise","channelIds":[2]})").leave);
}

TEST(FoxgloveClient, ParametersAreReadOnlyAndAnswered)
{
    client_rig rig;
    foxglove_actions_type set = rig.text(R"({"op":"setParameters","parameters":[{"name":"web_port","value":1}],"id":"q"})");
    ASSERT_EQ(set.replies.size(), 2u);
    EXPECT_EQ(status_levels(set), std::vector<int64_t>{1});
    json::object values = json::parse(set.replies[1]).as_object();
    EXPECT_EQ(values["op"], "parameterValues");
    EXPECT_EQ(values["id"], "q");
    EXPECT_EQ(values["parameters"], json::parse(R"([{"name":"web_port","value":8080}])"));
}

TEST(FoxgloveClient, AFloodIsClosedButItsStopIsTaken)
{
    client_rig rig;
    rig.text(R"({"op":"advertise","channels":[{"id":1,"topic":"/cmd_vel","encoding":"json","schemaName":"geometry_msgs/Twist"}]})");
    for (int i = 1; i < web_message_rate_limit; i++)
        EXPECT_FALSE(rig.twist(1, 0.5, 0).close) << i;
    foxglove_actions_type over = rig.twist(1, 0.5, 0);
    EXPECT_TRUE(over.close);
    EXPECT_FALSE(over.drive);
    EXPECT_EQ(status_levels(over), std::vector<int64_t>{2});
    foxglove_actions_type stop = rig.twist(1, 0, 0);
    EXPECT_TRUE(stop.close);
    EXPECT_TRUE(stop.drive);
    EXPECT_DOUBLE_EQ(stop.command.forward, 0.0);
    rig.now += 1s;
    EXPECT_FALSE(rig.twist(1, 0.5, 0).close);
}

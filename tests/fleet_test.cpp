// The fleet link's keys and messages: broker addresses, robot names, drive messages and telemetry, the
// named operators and the takeover rule.
#include "app/config.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_messages.h"
#include "fleet/fleet_name.h"
#include "fleet/fleet_network.h"
#include "fleet/fleet_operators.h"
#include "fleet/fleet_takeover.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

TEST(FleetConfig, BrokerAddressesAndNames)
{
    struct {
        const char* url;
        bool ok, tls;
        const char* host;
        int port;
    } cases[] = {
        {"mqtt://broker:1883", true, false, "broker", 1883},
        {"mqtts://10.0.0.5:8884", true, true, "10.0.0.5", 8884},
        {"mqtt://broker", true, false, "broker", 1883},
        {"mqtts://broker", true, true, "broker", 8883},
        {"http://broker:1883", false, false, "", 0},
        {"mqtt://:1883", false, false, "", 0},
        {"mqtt://broker:99999", false, false, "", 0},
        {"mqtt://broker:12x", false, false, "", 0},
    };
    for (const auto& c : cases) {
        fleet_broker_type broker = fleet_parse_broker(c.url);
        EXPECT_EQ(broker.ok, c.ok) << c.url;
        if (c.ok) {
            EXPECT_EQ(broker.tls, c.tls) << c.url;
            EXPECT_EQ(broker.host, c.host) << c.url;
            EXPECT_EQ(broker.port, c.port) << c.url;
        }
    }
}

TEST(FleetName, OneRuleForTheRobotAndThePage)
{
    struct {
        std::string name;
        const char* fault;  // nullptr: a good name
    } cases[] = {
        {"rover-7", nullptr},
        {"r", nullptr},
        {"Robot_2.lab", nullptr},
        {"say \"hi\" \\ back", nullptr},          // quotes and backslashes are shown as they are
        {"m\xC3\xB8ller-\xE6\x97\xA5\xF0\x9F\xA4\x96", nullptr},  // ø, 日 and a four-byte emoji
        {std::string(64, 'x'), nullptr},
        {std::string(65, 'x'), "must be 1 to 64 bytes long"},
        {"", "must be 1 to 64 bytes long"},
        {"a/b", "has '/', '+' or '#'"},
        {"a+", "has '/', '+' or '#'"},
        {"#", "has '/', '+' or '#'"},
        {"tab\there", "has a control character"},
        {"del\x7F", "has a control character"},
        {"c1\xC2\x85", "has a control character"},
        {"latin1-\xF8", "is not UTF-8"},
        {"cut-\xE6\x97", "is not UTF-8"},
        {"overlong-\xC0\xAF", "is not UTF-8"},
        {"surrogate-\xED\xA0\x80", "is not UTF-8"},
        {"beyond-\xF4\x90\x80\x80", "is not UTF-8"},
        {std::string("nul\0", 4), "has a control character"},
        {"rtl-\xE2\x80\xAE", "has an invisible or direction-changing character"},
        {"zero\xE2\x80\x8Bwidth", "has an invisible or direction-changing character"},
        {"bom\xEF\xBB\xBF", "has an invisible or direction-changing character"},
        {"non\xEF\xBF\xBF", "has an invisible or direction-changing character"},
    };
    for (const auto& c : cases) {
        const char* fault = fleet_name_fault(c.name);
        EXPECT_STREQ(fault, c.fault) << c.name;
    }
}

TEST(FleetConfig, KeysReachTheConfiguration)
{
    config_type config;
    for (const char* line : {"mqtt_broker mqtts://b:8883", "robot_name rover-7", "mqtt_user u", "mqtt_password p",
                             "mqtt_ca /ca.pem", "mqtt_rate 5", "mqtt_keepalive 30", "mqtt_rate 0", "mqtt_keepalive x"})
        parse_line(line, config);
    const fleet_config_type& fleet_config = config.fleet;
    EXPECT_EQ(fleet_config.broker, "mqtts://b:8883");
    EXPECT_EQ(fleet_config.robot_name, "rover-7");
    EXPECT_EQ(fleet_config.user, "u");
    EXPECT_EQ(fleet_config.password, "p");
    EXPECT_EQ(fleet_config.ca, "/ca.pem");
    EXPECT_EQ(fleet_config.rate, 5.0);       // the refused 0 left it alone
    EXPECT_EQ(fleet_config.keepalive, 30);   // and the refused x
}

TEST(FleetMessages, DriveMessagesAreTakenStrictly)
{
    struct {
        std::string text;
        bool ok, proportional;
        unsigned int keys;
        double forward, turn;
    } cases[] = {
        {R"({"forward":0.5,"turn":-1})", true, true, 0, 0.5, -1.0},
        {R"({"turn":0.25})", true, true, 0, 0.0, 0.25},
        {R"({"keys":"wa"})", true, false, drive_key_w | drive_key_a, 0, 0},
        {R"({"keys":""})", true, false, 0, 0, 0},
        {R"({"keys":"wx"})", false, false, 0, 0, 0},
        {R"({"keys":7})", false, false, 0, 0, 0},
        {R"({"forward":1.5})", false, false, 0, 0, 0},
        {R"({"forward":"1"})", false, false, 0, 0, 0},
        {R"({})", false, false, 0, 0, 0},
        {R"([1,2])", false, false, 0, 0, 0},
        {R"({"forward":0.5)", false, false, 0, 0, 0},
        {R"({"keys":"w","pad":")" + std::string(300, 'x') + "\"}", false, false, 0, 0, 0},
        {R"({"forward":0.5,"by":"ann"})", true, true, 0, 0.5, 0.0},
        {R"({"keys":"d","by":"bob the builder"})", true, false, drive_key_d, 0, 0},
        {R"({"forward":0.5,"by":""})", false, false, 0, 0, 0},
        {R"({"forward":0.5,"by":7})", false, false, 0, 0, 0},
        {R"({"forward":0.5,"by":"a/b"})", false, false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        fleet_drive_type drive = fleet_parse_drive(c.text);
        EXPECT_EQ(drive.ok, c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(drive.command.proportional, c.proportional) << c.text;
        EXPECT_EQ(drive.command.keys, c.keys) << c.text;
        EXPECT_DOUBLE_EQ(drive.command.forward, c.forward) << c.text;
        EXPECT_DOUBLE_EQ(drive.command.turn, c.turn) << c.text;
    }
    EXPECT_EQ(fleet_parse_drive(R"({"keys":"d","by":"bob the builder"})").by, "bob the builder");
    // A stop names its operator when it can; any other payload is still a stop, of nobody in particular.
    struct {
        std::string text;
        const char* by;
    } stops[] = {
        {R"({"by":"ann"})", "ann"},
        {R"({"by":"ann","why":"wall"})", "ann"},
        {"", ""},
        {"STOP", ""},
        {R"({"by":"a#b"})", ""},
        {R"({"by":"ann","pad":")" + std::string(300, 'x') + "\"}", ""},
        {std::string(100000, 's'), ""},
    };
    for (const auto& stop : stops)
        EXPECT_EQ(fleet_stop_operator(stop.text), stop.by) << stop.text.substr(0, 40);
}

// Each name is a driver of its own, the unnamed share one; past the bound a name waits for a stale one.
TEST(FleetOperators, NamesGetIdsOfTheirOwnWithinTheBound)
{
    fleet_operators_class operators;
    std::vector<uint64_t> gone;
    EXPECT_EQ(operators.id_for("", 0.0, gone), fleet_shared_operator);
    uint64_t ann = operators.id_for("ann", 0.0, gone);
    EXPECT_NE(ann, fleet_shared_operator);
    EXPECT_EQ(operators.id_for("ann", 5.0, gone), ann);
    std::vector<uint64_t> ids{ann};
    for (size_t i = 1; i < fleet_operators_max; i++)
        ids.push_back(operators.id_for("op" + std::to_string(i), 10.0, gone));
    EXPECT_EQ(std::set<uint64_t>(ids.begin(), ids.end()).size(), fleet_operators_max);
    EXPECT_EQ(operators.id_for("late", 20.0, gone), 0u) << "every place was heard within the memory";
    EXPECT_EQ(operators.id_for("", 20.0, gone), fleet_shared_operator) << "the unnamed never lack a place";
    EXPECT_TRUE(gone.empty());
    // Ann, last heard at 5 s, is stale at 36 s: her place goes to the newcomer, with a fresh id.
    uint64_t late = operators.id_for("late", 5.0 + fleet_operator_memory + 1.0, gone);
    EXPECT_NE(late, 0u);
    EXPECT_EQ(gone, std::vector<uint64_t>{ann});
    EXPECT_EQ(std::count(ids.begin(), ids.end(), late), 0);
    EXPECT_NE(operators.id_for("ann", 37.0, gone), ann) << "a forgotten name comes back as a new driver";
    std::vector<uint64_t> all = operators.forget_all();
    EXPECT_EQ(all.front(), fleet_shared_operator);
    EXPECT_EQ(all.size(), fleet_operators_max + 1);
    EXPECT_EQ(operators.count(), 0u);
}

// An MQTT 5 broker's reason says it at once; otherwise quick drops in a row do; warnings are spaced.
TEST(FleetTakeover, TheReasonOrQuickDropsInARowTellOfATakenId)
{
    struct step_type {
        double connect, drop;  // times; a negative connect: the attempt never connected
        int reason;
        bool warned;
    };
    const step_type steps[] = {
        {-1.0, 0.5, 7, false},                       // a refused attempt says nothing
        {0.0, 100.0, 7, false},                      // a long connection lost
        {101.0, 102.0, 7, false},                    // quick drops one
        {103.0, 104.0, 7, false},                    // and two
        {105.0, 200.0, 7, false},                    // a long one in between starts the count again
        {201.0, 202.0, 7, false},
        {203.0, 204.0, 7, false},
        {205.0, 206.0, 7, true},                     // three in a row
        {207.0, 208.0, fleet_taken_over_reason, false},  // the reason, but within the minute
        {300.0, 900.0, fleet_taken_over_reason, true},   // the reason alone, however long it stood
    };
    fleet_takeover_type watch;
    for (const step_type& step : steps) {
        if (step.connect >= 0.0)
            fleet_takeover_connected(watch, step.connect);
        EXPECT_EQ(fleet_takeover_dropped(watch, step.reason, step.drop), step.warned) << step.drop;
    }
}

TEST(FleetMessages, StatusAndTelemetryAreJson)
{
    namespace json = boost::json;
    json::value online = json::parse(fleet_status_online("0.1.0", 1765000000.4, "http://r:8080/?token=t\"x"));
    EXPECT_EQ(online.at("state"), "online");
    EXPECT_EQ(online.at("started").to_number<double>(), 1765000000.0);
    EXPECT_EQ(online.at("console"), "http://r:8080/?token=t\"x");
    EXPECT_TRUE(json::parse(fleet_status_online("0.1.0", 0, "")).at("console").is_null());
    EXPECT_EQ(json::parse(fleet_status_offline()).at("state"), "offline");

    robot_snapshot_type values;
    values.serial_rate = 9.5;
    values.left_target = 200;
    values.right_reverse = true;
    values.analog[7] = 0.5f;
    values.driver = driver_kind::mqtt;
    json::value telemetry = json::parse(fleet_telemetry_json(values, 1765000000.125));
    EXPECT_DOUBLE_EQ(telemetry.at("time").to_number<double>(), 1765000000.125);
    EXPECT_DOUBLE_EQ(telemetry.at("serial_rate").to_number<double>(), 9.5);
    EXPECT_TRUE(telemetry.at("camera_rate").is_null());
    EXPECT_EQ(telemetry.at("left").at("target").to_number<double>(), 200);
    EXPECT_EQ(telemetry.at("right").at("reverse"), true);
    EXPECT_DOUBLE_EQ(telemetry.at("analog").at(7).to_number<double>(), 0.5);
    EXPECT_EQ(telemetry.at("driver"), "mqtt");
}

// A broker that takes each connection and closes it at once: the network thread connects again after
// its back-off, however often, and a stop ends it while it waits.
TEST(FleetNetworkConcurrency, EveryEndIsFollowedByAnotherTryAndStopEndsTheThread)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new("quillon-test", true, nullptr);
    fleet_network_class network;
    ASSERT_TRUE(network.start(client, "127.0.0.1", ntohs(address.sin_port), 5));
    int accepted = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (accepted < 3 && std::chrono::steady_clock::now() < end) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 100) == 1) {
            ::close(::accept(listener, nullptr, nullptr));
            accepted++;
        }
    }
    EXPECT_EQ(accepted, 3) << "the thread gave up";
    network.stop();
    network.stop();
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();
    ::close(listener);
}

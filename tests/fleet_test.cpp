// The fleet link's keys and messages: broker addresses, robot names, drive messages and telemetry.
#include "app/config.h"
#include "fleet/fleet_config.h"
#include "fleet/fleet_messages.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

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
    for (const char* good : {"rover-7", "r", "Robot_2.lab"})
        EXPECT_TRUE(fleet_valid_name(good)) << good;
    const std::string too_long(65, 'x');
    for (const std::string& bad : {std::string(), std::string("a/b"), std::string("a+"), std::string("#"),
                                   std::string("tab\there"), std::string("bell\x07"), too_long})
        EXPECT_FALSE(fleet_valid_name(bad)) << bad;
}

TEST(FleetConfig, KeysReachTheConfiguration)
{
    fleet_config = fleet_config_type();
    for (const char* line : {"mqtt_broker mqtts://b:8883", "robot_name rover-7", "mqtt_user u", "mqtt_password p",
                             "mqtt_ca /ca.pem", "mqtt_rate 5", "mqtt_keepalive 30", "mqtt_rate 0", "mqtt_keepalive x"})
        parse_line(line);
    EXPECT_EQ(fleet_config.broker, "mqtts://b:8883");
    EXPECT_EQ(fleet_config.robot_name, "rover-7");
    EXPECT_EQ(fleet_config.user, "u");
    EXPECT_EQ(fleet_config.password, "p");
    EXPECT_EQ(fleet_config.ca, "/ca.pem");
    EXPECT_EQ(fleet_config.rate, 5.0);       // the refused 0 left it alone
    EXPECT_EQ(fleet_config.keepalive, 30);   // and the refused x
    fleet_config = fleet_config_type();
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

    fleet_telemetry_type values;
    values.time = 1765000000.125;
    values.serial_rate = 9.5;
    values.left_target = 200;
    values.right_reverse = true;
    values.analog[7] = 0.5f;
    values.driver = "mqtt";
    json::value telemetry = json::parse(fleet_telemetry_json(values));
    EXPECT_DOUBLE_EQ(telemetry.at("time").to_number<double>(), 1765000000.125);
    EXPECT_DOUBLE_EQ(telemetry.at("serial_rate").to_number<double>(), 9.5);
    EXPECT_TRUE(telemetry.at("camera_rate").is_null());
    EXPECT_EQ(telemetry.at("left").at("target").to_number<double>(), 200);
    EXPECT_EQ(telemetry.at("right").at("reverse"), true);
    EXPECT_DOUBLE_EQ(telemetry.at("analog").at(7).to_number<double>(), 0.5);
    EXPECT_EQ(telemetry.at("driver"), "mqtt");
}

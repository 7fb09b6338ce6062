// The channels' messages: text that any JSON reader takes, bytes kept exactly, levels told from words.
#include "channels/channels.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Channels, MessagesCarryTimeAndFieldsAsJson)
{
    const uint64_t time = 1765200000123456789ull;
    const char* stamp = "{\"timestamp\":{\"sec\":1765200000,\"nsec\":123456789}";

    robot_snapshot_type telemetry;
    telemetry.analog[0] = 0.5f;
    telemetry.left_target = 200;
    telemetry.right_reverse = true;
    telemetry.driver = driver_kind::foxglove;
    std::string json = channels_telemetry_json(telemetry, time);
    EXPECT_EQ(json.rfind(stamp, 0), 0u) << json;
    EXPECT_NE(json.find("\"analog\":[0.5,0,0,0,0,0,0,0]"), std::string::npos) << json;
    EXPECT_NE(json.find("\"left\":{\"target\":200,\"speed\":0,\"reverse\":false}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"right\":{\"target\":0,\"speed\":0,\"reverse\":true}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"has_camera\":false,\"camera_rate\":0,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"driver\":\"foxglove\"}"), std::string::npos) << json;

    const unsigned char packet[] = {0x01, 0x08, 0x80, 0xFF, 0x0A};
    EXPECT_EQ(channels_bus_json(true, 1, packet, sizeof packet, time),
              std::string(stamp) + ",\"direction\":\"sent\",\"device\":1,\"length\":5,\"hex\":\"01 08 80 FF 0A\"}");

    const char line[] = "Serial \"port\"\tlost \xFF";
    EXPECT_EQ(channels_log_json(line, std::strlen(line), time),
              std::string(stamp) + ",\"level\":3,\"message\":\"Serial \\\"port\\\"\\u0009lost \xEF\xBF\xBD\","
                                   "\"name\":\"quillon\",\"file\":\"log.txt\",\"line\":0}");

    const unsigned char jpeg[] = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(channels_camera_json("serial", jpeg, sizeof jpeg, time),
              std::string(stamp) + ",\"frame_id\":\"serial\",\"format\":\"jpeg\",\"data\":\"/9j/2Q==\"}");
}

TEST(Channels, Base64AndLevelsAndTopics)
{
    struct { const char* bytes; const char* base64; } codes[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}};
    for (const auto& code : codes) {
        std::string out;
        channels_append_base64(out, reinterpret_cast<const unsigned char*>(code.bytes), std::strlen(code.bytes));
        EXPECT_EQ(out, code.base64);
    }
    struct { const char* line; int level; } levels[] = {
        {"Web - Start", 2}, {"Serial port open FAILED", 4}, {"Web console: unable to listen", 4},
        {"Camera: picture dropped", 3}, {"Controller time-out", 3}};
    for (const auto& level : levels)
        EXPECT_EQ(channels_log_level(level.line, std::strlen(level.line)), level.level) << level.line;

    for (int i = 0; i < channel_count; i++) {
        const channel_info_type& info = channels_info(static_cast<channel_kind>(i));
        EXPECT_EQ(channels_find(info.topic), &info);
        EXPECT_EQ(info.schema[0], '{');
    }
    EXPECT_STREQ(channels_info(channel_kind::camera).schema_name, "foxglove.CompressedImage");
    EXPECT_STREQ(channels_info(channel_kind::log).schema_name, "foxglove.Log");
    EXPECT_EQ(channels_find("/other"), nullptr);
}

// The web console's messages: what a browser may send, JSON strings that stay valid UTF-8, and the state
// message read back as JSON.
#include "web/web_messages.h"

#include "web/foxglove_hub.h"
#include "web/web_session.h"

#include <boost/json.hpp>

#include <gtest/gtest.h>

#include <cstring>

namespace {

unsigned int keys_of(const char* text)
{
    web_request_type request = web_parse_request(text);
    EXPECT_EQ(request.kind, web_request_kind::drive) << text << ": " << request.error;
    return request.keys;
}

std::string json_string(std::string_view text)
{
    std::string out;
    web_append_json_string(out, text);
    return out;
}

} // namespace

TEST(WebMessages, DriveAndStopAreTaken)
{
    EXPECT_EQ(keys_of(R"({"type":"drive","w":1,"a":0,"s":0,"d":0})"), web_key_w);
    EXPECT_EQ(keys_of(R"({"type":"drive","w":0,"a":1,"s":1,"d":1})"), web_key_a | web_key_s | web_key_d);
    EXPECT_EQ(keys_of(R"({"type":"drive","w":0,"a":0,"s":0,"d":0})"), 0u);
    EXPECT_EQ(keys_of(R"({"type":"drive","d":true,"w":false})"), web_key_d);        // missing counts as 0
    EXPECT_EQ(keys_of(R"( {"sent":12.5,"type":"drive","w":1} )"), web_key_w);       // other fields ignored
    EXPECT_EQ(web_parse_request(R"({"type":"stop"})").kind, web_request_kind::stop);

    // Proportional driving: forward and turn, integers or not, up to the ends of -1 .. 1.
    const struct { const char* text; double forward, turn; } values[] = {
        {R"({"type":"drive","forward":0.5,"turn":-0.25})", 0.5, -0.25},
        {R"({"type":"drive","turn":1,"forward":-1,"sent":3})", -1.0, 1.0},
        {R"({"type":"drive","forward":0,"turn":0})", 0.0, 0.0},
    };
    for (const auto& row : values) {
        web_request_type request = web_parse_request(row.text);
        EXPECT_EQ(request.kind, web_request_kind::drive) << row.text << ": " << request.error;
        EXPECT_TRUE(request.proportional) << row.text;
        EXPECT_EQ(request.keys, 0u) << row.text;
        EXPECT_DOUBLE_EQ(request.forward, row.forward) << row.text;
        EXPECT_DOUBLE_EQ(request.turn, row.turn) << row.text;
    }
    EXPECT_FALSE(web_parse_request(R"({"type":"drive","w":1})").proportional);
}

TEST(WebMessages, AnythingElseIsRefusedWithAReason)
{
    const char* refused[] = {
        "", "drive", "[]", "{}", R"({"type":1})", R"({"type":"go"})", R"({"type":"drive","w":2})",
        R"({"type":"drive","w":"1"})", R"({"type":"drive","w":-1})", R"({"type":"drive","w":1.0})",
        R"({"type":"drive","w":null})", R"({"type":"drive","w":1)", R"({"type":"stop"} x)",
        "{\"type\":\"st\xffop\"}",
        R"({"type":"drive","forward":0.5})", R"({"type":"drive","turn":0})",
        R"({"type":"drive","forward":1.01,"turn":0})", R"({"type":"drive","forward":0,"turn":-2})",
        R"({"type":"drive","forward":"1","turn":0})", R"({"type":"drive","forward":null,"turn":0})",
        R"({"type":"drive","forward":1e400,"turn":0})", R"({"type":"drive","forward":1,"turn":0,"w":1})",
    };
    for (const char* text : refused) {
        web_request_type request = web_parse_request(text);
        EXPECT_EQ(request.kind, web_request_kind::invalid) << text;
        EXPECT_FALSE(request.error.empty()) << text;
    }
    std::string deep = R"({"type":"drive","x":)" + std::string(40, '[') + std::string(40, ']') + "}";
    EXPECT_EQ(web_parse_request(deep).kind, web_request_kind::invalid);
    std::string padded = R"({"type":"stop","pad":")" + std::string(web_message_max, 'x') + "\"}";
    EXPECT_EQ(web_parse_request(padded).kind, web_request_kind::invalid);
}

TEST(WebMessages, StringsAreEscapedAndAlwaysValidUtf8)
{
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string(std::string_view("\n\t\x01\x7f", 4)), "\"\\u000a\\u0009\\u0001\\u007f\"");
    EXPECT_EQ(json_string("Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\xa4\x96"), "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\xa4\x96\"");
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(json_string("a\xff" "b"), "\"a" + replacement + "b\"");
    EXPECT_EQ(json_string("\xc0\xaf"), "\"" + replacement + replacement + "\"");  // overlong
    EXPECT_EQ(json_string("\xff\x90\xaf"), "\"" + replacement + replacement + replacement + "\"");  // no lead byte
    EXPECT_EQ(json_string("\xed\xa0\x80"), "\"" + replacement + replacement + replacement + "\"");  // surrogate
    // Every byte value, in every position, still reads back as JSON.
    std::string all;
    for (int i = 0; i < 256; i++)
        all += static_cast<char>(i);
    boost::json::error_code error;
    boost::json::parse(json_string(all), error);
    EXPECT_FALSE(error) << error.message();
}

TEST(WebMessages, TheStateMessageReadsBackAsJson)
{
    web_state_type state;
    state.robot.left_target = 58.8;
    state.robot.right_reverse = true;
    state.robot.analog[7] = 0.875f;
    std::strcpy(state.messages[0], "Network Online");
    std::strcpy(state.messages[1], "text \xff from a device");
    state.message_count = 2;
    state.robot.driver = driver_kind::browser;
    state.time = 123456.75;
    std::string prefix = web_state_prefix(state);
    for (bool you : {true, false}) {
        boost::json::value value = boost::json::parse(web_finish_state(prefix, you));
        EXPECT_EQ(value.at("you_drive").as_bool(), you);
        EXPECT_EQ(value.at("type").as_string(), "state");
        EXPECT_TRUE(value.at("camera_rate").is_null());
        EXPECT_NEAR(value.at("left").at("target").to_number<double>(), 58.8, 1e-9);
        EXPECT_TRUE(value.at("right").at("reverse").as_bool());
        EXPECT_EQ(value.at("analog").as_array().size(), 8u);
        EXPECT_EQ(value.at("analog").at(7).to_number<double>(), 0.875);
        EXPECT_EQ(value.at("messages").as_array().size(), 2u);
        EXPECT_EQ(value.at("driver").as_string(), "browser");
        EXPECT_EQ(value.at("time").to_number<double>(), 123456.75);
    }
    state.robot.has_camera = true;
    state.robot.camera_rate = 2.5;
    EXPECT_EQ(boost::json::parse(web_finish_state(web_state_prefix(state), false)).at("camera_rate").to_number<double>(), 2.5);
    EXPECT_EQ(boost::json::parse(web_error_message("no \"type\"")).at("message").as_string(), "no \"type\"");
}

// The entry points for notices reach the one session named, without waiting, and nothing else.
TEST(WebMessages, NoticesGoToOneBrowserOrFoxgloveClient)
{
    EXPECT_EQ(web_notice_message("held: \"let go\""), R"({"type":"notice","message":"held: \"let go\""})");
    std::vector<std::string> told;
    web_peer_type browser;
    browser.notify = [&told](std::shared_ptr<const std::string> text) { told.push_back("browser: " + *text); };
    uint64_t browser_id = web_registry().add(browser);
    foxglove_peer_type client;
    client.channels = std::make_shared<std::atomic<unsigned int>>(0);
    client.notify = [&told](std::string text) { told.push_back("foxglove: " + text); };
    uint64_t client_id = foxglove_hub_add(client);
    web_notice(browser_id, "one");
    foxglove_notice(client_id, "two");
    web_notice(browser_id + 1000, "nobody");
    foxglove_notice(client_id + 1000, "nobody");
    web_registry().remove(browser_id);
    foxglove_hub_remove(client_id);
    web_notice(browser_id, "gone");
    EXPECT_EQ(told, (std::vector<std::string>{"browser: one", "foxglove: two"}));
}

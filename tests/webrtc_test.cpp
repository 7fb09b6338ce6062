// The live video service on a real capture, and the web side's video messages and keys.
#include "platform/capture.h"
#include "platform/webrtc.h"
#include "web/web_video.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace {

// What the service told each peer.
struct heard_type {
    std::mutex lock;
    std::condition_variable changed;
    std::map<uint64_t, std::vector<webrtc_signal_type>> signals;

    void add(const webrtc_signal_type& signal)
    {
        std::lock_guard<std::mutex> hold(lock);
        signals[signal.peer].push_back(signal);
        changed.notify_all();
    }

    // Waits until every peer from 1 to count has had a signal of either kind given.
    bool wait_all(uint64_t count, webrtc_signal_kind a, webrtc_signal_kind b)
    {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(20), [&] {
            for (uint64_t peer = 1; peer <= count; peer++) {
                bool found = false;
                for (const webrtc_signal_type& signal : signals[peer])
                    found = found || signal.kind == a || signal.kind == b;
                if (!found)
                    return false;
            }
            return true;
        });
    }
};

} // namespace

TEST(Webrtc, PeersGetOffersForTheCodecAndThoseBeyondTheNegotiatingCapAreTurnedAway)
{
    struct {
        const char* codec;
        const char* rtpmap;
    } cases[] = {{"vp8", "VP8/90000"}, {"h264", "H264/90000"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codec);
        std::string error;
        capture_type* capture =
            capture_open("videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=30/1", 5000, &error);
        ASSERT_NE(capture, nullptr) << error;
        heard_type heard;
        webrtc_settings_type settings;
        settings.codec = c.codec;
        ASSERT_TRUE(webrtc_start(capture, settings, [&](const webrtc_signal_type& s) { heard.add(s); }, {}, &error))
            << error;
        constexpr uint64_t asked = webrtc_max_negotiating + 2;
        for (uint64_t peer = 1; peer <= asked; peer++)
            webrtc_open(peer);
        ASSERT_TRUE(heard.wait_all(asked, webrtc_signal_kind::offer, webrtc_signal_kind::ended));
        std::vector<unsigned char> pixels(320 * 240 * 4);
        {
            std::lock_guard<std::mutex> hold(heard.lock);
            int offers = 0;
            for (auto& [peer, signals] : heard.signals) {
                const webrtc_signal_type& first = signals.front();
                if (first.kind == webrtc_signal_kind::offer) {
                    offers++;
                    EXPECT_NE(first.text.find(c.rtpmap), std::string::npos) << first.text;
                    EXPECT_NE(first.text.find("a=sendonly"), std::string::npos);
                    // Lost packets are asked for again, and the browser tells its own estimate of the link.
                    EXPECT_NE(first.text.find("a=rtcp-fb:96 nack\r\n"), std::string::npos) << first.text;
                    EXPECT_NE(first.text.find("a=rtcp-fb:96 goog-remb"), std::string::npos) << first.text;
                } else {
                    EXPECT_GT(peer, static_cast<uint64_t>(webrtc_max_negotiating));
                    EXPECT_NE(first.text.find("four browsers are connecting"), std::string::npos) << first.text;
                }
            }
            EXPECT_EQ(offers, webrtc_max_negotiating);
        }
        // The image requests' branch goes on as before while the video branch runs.
        EXPECT_TRUE(capture_take(capture, pixels.data(), 320, 240, 1000));
        // A closed peer makes room for a new one, which is offered the video at once.
        webrtc_close(3);
        webrtc_open(20);
        {
            std::unique_lock<std::mutex> hold(heard.lock);
            EXPECT_TRUE(heard.changed.wait_for(hold, std::chrono::seconds(10), [&] {
                return !heard.signals[20].empty() && heard.signals[20].front().kind == webrtc_signal_kind::offer;
            }));
        }
        webrtc_stop();
        capture_close(capture);
    }
}

TEST(WebVideo, MessagesAndKeys)
{
    // Without a running service, the browser is told at once that it gets pictures.
    struct {
        const char* message;
        bool taken;
        const char* reply;  // a part of the reply, or "" for none
    } messages[] = {
        {R"({"type":"video"})", true, R"("type":"video_end","reason":"no capture runs")"},
        {R"({"type":"answer"})", true, "needs its \\\"sdp\\\""},
        {R"({"type":"answer","sdp":"v=0"})", true, ""},
        {R"({"type":"candidate","candidate":"candidate:1 1 UDP 1 10.0.0.1 5000 typ host","mline":-1})", true,
         "from 0 to 16"},
        {R"({"type":"candidate","candidate":"","mline":0})", true, ""},
        {R"({"type":"video_stop"})", true, ""},
        {R"({"type":"drive","w":1})", false, ""},
        {R"(not json)", false, ""},
    };
    for (const auto& m : messages) {
        std::vector<std::string> replies;
        bool taken = web_video_take(7, m.message, [&](std::string text) { replies.push_back(std::move(text)); });
        EXPECT_EQ(taken, m.taken) << m.message;
        if (*m.reply == 0) {
            EXPECT_TRUE(replies.empty()) << m.message;
        } else {
            ASSERT_EQ(replies.size(), 1u) << m.message;
            EXPECT_NE(replies[0].find(m.reply), std::string::npos) << replies[0];
        }
    }

    struct {
        const char* key;
        const char* rest;
        bool known;
        const char* codec;
        int kbps;
        const char* encoder;
    } keys[] = {
        {"web_video_codec", " h264", true, "h264", 2000, ""},
        {"web_video_codec", " av1", true, "h264", 2000, ""},  // refused: the value before stays
        {"web_video_kbps", " 800 ", true, "h264", 800, ""},
        {"web_video_kbps", " 10", true, "h264", 800, ""},
        {"web_video_kbps", " 9x", true, "h264", 800, ""},
        {"web_video_encoder", " vaapih264enc rate-control=cbr ", true, "h264", 800, "vaapih264enc rate-control=cbr"},
        {"web_port", " 80", false, "h264", 800, "vaapih264enc rate-control=cbr"},
    };
    webrtc_settings_type web_video_config;
    for (const auto& k : keys) {
        EXPECT_EQ(web_video_key(k.key, k.rest, web_video_config), k.known) << k.key << k.rest;
        EXPECT_EQ(web_video_config.codec, k.codec) << k.key << k.rest;
        EXPECT_EQ(web_video_config.kbps, k.kbps) << k.key << k.rest;
        EXPECT_EQ(web_video_config.encoder, k.encoder) << k.key << k.rest;
    }
    // The loss for tests, in percent; a value out of range leaves none.
    for (auto [rest, loss] : {std::pair{" 2", 0.02}, {" 60", 0.0}, {" 3", 0.03}, {" 2x", 0.0}}) {
        EXPECT_TRUE(web_video_key("web_video_test_loss", rest, web_video_config));
        EXPECT_DOUBLE_EQ(web_video_config.test_loss, loss) << rest;
    }
    web_video_config = webrtc_settings_type{};

    // A page that asks for its pictures only if the video does not come gets none until it asks.
    web_video_join(9, "/ws?token=abcdefgh&pictures=0");
    web_video_join(10, "/ws?token=abcdefgh");
    EXPECT_FALSE(web_video_pictures_wanted(9));
    EXPECT_TRUE(web_video_pictures_wanted(10));
    std::vector<std::string> replies;
    web_video_take(9, R"({"type":"pictures","on":true})", [&](std::string text) { replies.push_back(text); });
    EXPECT_TRUE(web_video_pictures_wanted(9));
    EXPECT_TRUE(replies.empty());
    web_video_join(11, "/ws?pictures=0");
    web_video_leave(11);
    EXPECT_TRUE(web_video_pictures_wanted(11)) << "a session that has left is forgotten";
}

// The live video's signalling on the web side: browser messages become requests to the video service,
// and the service's offers, candidates and ends go to the browser's session as text messages.
#include "web/web_video.h"

#include "services/log.h"
#include "services/message_lines.h"
#include "imaging/camera.h"
#include "web/web_messages.h"
#include "web/web_server.h"
#include "web/web_session.h"

#include <boost/json.hpp>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace json = boost::json;

webrtc_settings_type web_video_config;

namespace {

constexpr int kbps_least = 50, kbps_most = 100000;
constexpr size_t candidate_limit = 1024;

std::atomic<bool> video_running{false};  // the service runs

std::string trimmed(const char* text)
{
    std::string value(text + std::strspn(text, " \t"));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        value.pop_back();
    return value;
}

std::string signal_message(const webrtc_signal_type& signal)
{
    std::string out;
    switch (signal.kind) {
    case webrtc_signal_kind::offer:
        out = "{\"type\":\"offer\",\"sdp\":";
        web_append_json_string(out, signal.text);
        break;
    case webrtc_signal_kind::candidate:
        out = "{\"type\":\"candidate\",\"mline\":" + std::to_string(signal.mline) + ",\"candidate\":";
        web_append_json_string(out, signal.text);
        break;
    case webrtc_signal_kind::ended:
        out = "{\"type\":\"video_end\",\"reason\":";
        web_append_json_string(out, signal.text);
        break;
    }
    return out + "}";
}

void video_end(const std::function<void(std::string)>& reply, const char* reason)
{
    webrtc_signal_type signal;
    signal.text = reason;
    reply(signal_message(signal));
}

// A text field of the message, or null when missing or not text.
const json::string* text_field(const json::object& message, const char* name)
{
    const json::value* value = message.if_contains(name);
    return value != nullptr && value->is_string() ? &value->get_string() : nullptr;
}

bool take_candidate(uint64_t session, const json::object& message, const std::function<void(std::string)>& reply)
{
    const json::string* candidate = text_field(message, "candidate");
    const json::value* mline = message.if_contains("mline");
    if (candidate == nullptr || mline == nullptr || !mline->is_int64() || mline->get_int64() < 0 ||
        mline->get_int64() > 16 || candidate->size() > candidate_limit) {
        reply(web_error_message("a candidate needs \"candidate\" text and an \"mline\" from 0 to 16"));
        return true;
    }
    // The browser's end-of-candidates is an empty one; webrtcbin needs nothing for it.
    if (!candidate->empty())
        webrtc_candidate(session, static_cast<int>(mline->get_int64()), std::string(*candidate));
    return true;
}

} // namespace

bool web_video_key(const char* key, const char* rest)
{
    std::string value = trimmed(rest);
    if (std::strcmp(key, "web_video_encoder") == 0) {
        web_video_config.encoder = value;
    } else if (std::strcmp(key, "web_stun") == 0) {
        web_video_config.stun = value.substr(0, value.find_first_of(" \t"));
    } else if (std::strcmp(key, "web_turn") == 0) {
        web_video_config.turn = value.substr(0, value.find_first_of(" \t"));
    } else if (std::strcmp(key, "web_video_codec") == 0) {
        if (value == "vp8" || value == "h264")
            web_video_config.codec = value;
        else
            add_line("load_config: web_video_codec %s is neither vp8 nor h264; vp8 it is", value.c_str());
    } else if (std::strcmp(key, "web_video_kbps") == 0) {
        char* end = nullptr;
        long kbps = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != 0 || kbps < kbps_least || kbps > kbps_most)
            add_line("load_config: web_video_kbps %s is not %d to %d; %d it is", value.c_str(), kbps_least,
                     kbps_most, web_video_config.kbps);
        else
            web_video_config.kbps = static_cast<int>(kbps);
    } else {
        return false;
    }
    return true;
}

void web_video_start()
{
    if (video_running || camera.capture == nullptr || !web_running())
        return;
    std::string error;
    video_running = webrtc_start(camera.capture, web_video_config, [](const webrtc_signal_type& signal) {
        if (std::optional<web_peer_type> peer = web_registry.find(signal.peer))
            peer->send_signal(std::make_shared<const std::string>(signal_message(signal)));
    }, &error);
    if (video_running)
        log("Web console: live video %s at %d kbit/s", web_video_config.encoder.empty() ? web_video_config.codec.c_str()
                                                                                   : web_video_config.encoder.c_str(),
            web_video_config.kbps);
    else
        add_line("Web console: no live video (%s); browsers get pictures", error.c_str());
}

void web_video_stop()
{
    webrtc_stop();
    video_running = false;
}

bool web_video_take(uint64_t session, std::string_view text, const std::function<void(std::string)>& reply)
{
    boost::system::error_code error;
    json::value parsed = json::parse(json::string_view(text.data(), text.size()), error);
    if (error || !parsed.is_object())
        return false;
    const json::object& message = parsed.get_object();
    const json::string* type = text_field(message, "type");
    if (type == nullptr)
        return false;
    if (*type == "video") {
        if (!video_running)
            video_end(reply, camera.capture == nullptr ? "no capture runs" : "this program has no live video");
        else
            webrtc_open(session);
    } else if (*type == "answer") {
        const json::string* sdp = text_field(message, "sdp");
        if (sdp == nullptr)
            reply(web_error_message("an answer needs its \"sdp\""));
        else
            webrtc_answer(session, std::string(*sdp));
    } else if (*type == "candidate") {
        return take_candidate(session, message, reply);
    } else if (*type == "video_stop") {
        webrtc_close(session);
    } else {
        return false;
    }
    return true;
}

void web_video_leave(uint64_t session)
{
    webrtc_close(session);
}

// The live video's signalling on the web side: browser messages become requests to the video service,
// and the service's offers, candidates and ends go to the browser's session as text messages.
#include "web/web_video.h"

#include "services/log.h"
#include "services/message_lines.h"
#include "imaging/camera.h"
#include "web/web_access.h"
#include "web/web_messages.h"
#include "web/web_server.h"
#include "web/web_session.h"
#include "web/video_rate.h"

#include <boost/json.hpp>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

namespace json = boost::json;


namespace {

constexpr int kbps_least = 50, kbps_most = 100000;
constexpr size_t candidate_limit = 1024;

constexpr double facts_interval = 1.0;    // seconds between two reports of the rate to a page
constexpr double retell_change = 0.03;    // a bitrate this much changed is told to the encoder

struct viewer_type {
    video_link_type link;  // its link's estimate
    double told_at = 0;    // when its page was last told the rate
};

struct video_state_type {
    std::atomic<bool> running{false};        // the service runs
    std::mutex lock;                         // guards the members below
    std::map<uint64_t, viewer_type> viewers; // connected viewers whose browsers have reported
    std::set<uint64_t> shown;                // sessions whose page shows the video: no pictures for them
    video_ladder_type ladder;                // the encoder's step of frame rate and size
    webrtc_encoding_type encoding;           // what the encoder was asked for last
    video_limits_type limits;                // from the configuration at the start
};

video_state_type state;

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


void tell_session(uint64_t session, const std::string& text)
{
    if (std::optional<web_peer_type> peer = web_registry().find(session))
        peer->send_signal(std::make_shared<const std::string>(text));
}

// The page's facts of the video: the encoder's bitrate, this browser's link estimate, and the picture sent.
std::string rate_message(const viewer_type& viewer, const webrtc_feedback_type& feedback,
                         const webrtc_encoding_type& encoding)
{
    int divisor = std::max(1, encoding.divisor);
    int fps = encoding.fps > 0 ? std::min(encoding.fps, feedback.fps) : feedback.fps;
    return "{\"type\":\"video_rate\",\"kbps\":" + std::to_string(encoding.kbps) + ",\"estimate\":" +
           std::to_string(std::lround(viewer.link.estimate_kbps)) + ",\"remb\":" +
           std::to_string(std::lround(feedback.remb_kbps)) + ",\"lost\":" +
           std::to_string(std::lround(feedback.fraction_lost * 1000) / 10.0) + ",\"rtt\":" +
           std::to_string(std::lround(feedback.round_trip * 1000)) + ",\"width\":" +
           std::to_string(feedback.width / divisor) + ",\"height\":" + std::to_string(feedback.height / divisor) +
           ",\"fps\":" + std::to_string(fps) + "}";
}

bool worth_telling(const webrtc_encoding_type& before, const webrtc_encoding_type& next)
{
    return before.divisor != next.divisor || before.fps != next.fps ||
           std::abs(next.kbps - before.kbps) > retell_change * std::max(before.kbps, 1);
}

// On the video thread: one viewer's feedback moves its link's estimate, and the shared encoding follows
// the slowest viewer.
void take_feedback(const webrtc_feedback_type& feedback)
{
    std::string facts;
    webrtc_encoding_type next;
    bool tell = false, new_step = false;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        auto [found, fresh] = state.viewers.try_emplace(feedback.peer);
        viewer_type& viewer = found->second;
        if (fresh)
            viewer.link = video_link_start(state.encoding.kbps, state.limits, feedback.now);
        video_link_feedback(viewer.link, feedback, state.limits);
        std::vector<double> estimates;
        for (const auto& entry : state.viewers)
            estimates.push_back(entry.second.link.estimate_kbps);
        int step = state.ladder.step;
        next = video_ladder_encoding(state.ladder, video_shared_kbps(estimates, state.limits), feedback);
        new_step = step != state.ladder.step;
        tell = worth_telling(state.encoding, next);
        if (tell)
            state.encoding = next;
        if (feedback.now - viewer.told_at >= facts_interval) {
            viewer.told_at = feedback.now;
            facts = rate_message(viewer, feedback, state.encoding);
        }
    }
    if (tell)
        webrtc_encode(next);
    if (new_step)
        log_write("Web console: live video at 1/%d of the capture's size, %d frames a second at most (0: all), %d kbit/s",
            next.divisor, next.fps, next.kbps);
    if (!facts.empty())
        tell_session(feedback.peer, facts);
}

// The viewer is gone, or no longer watches: with the last one, the encoder starts afresh for the next.
void forget(uint64_t session)
{
    bool none;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.shown.erase(session);
        none = state.viewers.erase(session) != 0 && state.viewers.empty();
        if (none) {
            state.ladder = video_ladder_type{};
            state.encoding = webrtc_encoding_type{};
        }
    }
    if (none)
        webrtc_encode(webrtc_encoding_type{});
}

void take_signal(const webrtc_signal_type& signal)
{
    if (signal.kind == webrtc_signal_kind::ended)
        forget(signal.peer);
    tell_session(signal.peer, signal_message(signal));
}

// The page says whether it shows the video; while it does, it gets no pictures.
bool take_pictures(uint64_t session, const json::object& message, const std::function<void(std::string)>& reply)
{
    const json::value* on = message.if_contains("on");
    if (on == nullptr || !on->is_bool()) {
        reply(web_error_message("pictures needs \"on\": true or false"));
        return true;
    }
    std::lock_guard<std::mutex> hold(state.lock);
    if (on->get_bool())
        state.shown.erase(session);
    else
        state.shown.insert(session);
    return true;
}
} // namespace

bool web_video_key(const char* key, const char* rest, webrtc_settings_type& web_video_config)
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
    } else if (std::strcmp(key, "web_video_test_loss") == 0) {
        char* end = nullptr;
        double percent = std::strtod(value.c_str(), &end);
        bool good = !value.empty() && *end == 0 && percent >= 0 && percent <= 50;
        if (!good)
            add_line("load_config: web_video_test_loss %s is not 0 to 50 (percent); no loss", value.c_str());
        web_video_config.test_loss = good ? percent / 100 : 0;
    } else {
        return false;
    }
    return true;
}

void web_video_start(const webrtc_settings_type& config)
{
    if (state.running || camera.capture == nullptr || !web_running())
        return;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        state.limits.ceiling_kbps = config.kbps;
        state.limits.floor_kbps = std::min(config.floor_kbps, config.kbps);
        state.limits.start_kbps = std::min(config.start_kbps, config.kbps);
    }
    std::string error;
    state.running = webrtc_start(camera.capture, config, take_signal, take_feedback, &error);
    if (state.running)
        log_write("Web console: live video %s at %d kbit/s at most, following each viewer's link",
            config.encoder.empty() ? config.codec.c_str() : config.encoder.c_str(),
            config.kbps);
    else
        add_line("Web console: no live video (%s); browsers get pictures", error.c_str());
    if (state.running && config.test_loss > 0)
        add_line("Web console: the live video drops %.1f %% of its packets (web_video_test_loss, for tests only)",
                 config.test_loss * 100);
}

void web_video_stop()
{
    webrtc_stop();
    state.running = false;
    std::lock_guard<std::mutex> hold(state.lock);
    state.viewers.clear();
    state.shown.clear();
    state.ladder = video_ladder_type{};
    state.encoding = webrtc_encoding_type{};
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
        if (!state.running)
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
        forget(session);
        webrtc_close(session);
    } else if (*type == "pictures") {
        return take_pictures(session, message, reply);
    } else {
        return false;
    }
    return true;
}

void web_video_join(uint64_t session, std::string_view target)
{
    if (web_query_value(target, "pictures") != "0")
        return;
    std::lock_guard<std::mutex> hold(state.lock);
    state.shown.insert(session);
}

void web_video_leave(uint64_t session)
{
    forget(session);
    webrtc_close(session);
}

bool web_video_pictures_wanted(uint64_t session)
{
    std::lock_guard<std::mutex> hold(state.lock);
    return state.shown.count(session) == 0;
}

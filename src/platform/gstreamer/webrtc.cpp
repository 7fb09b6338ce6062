// Live video on GStreamer: the service's video thread, the only one that changes the pipeline, with the
// capture's branch lock held. It builds the encoder branch for the first viewer and drops it after the
// last, takes the requests, ends peers that do not connect in time, reads every connected peer's feedback
// twice a second and hands it up, and gives the encoder the encoding it is asked for.
#include "platform/gstreamer/webrtc_parts.h"

#include "platform/clock.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace {

constexpr auto idle_wait = std::chrono::milliseconds(250);  // how often a rebuilt capture is noticed
constexpr double feedback_interval = 0.5;                   // seconds between two readings of the peers

struct request_type {
    enum class kind { open, answer, candidate, close, encode } what = kind::open;
    uint64_t peer = 0;
    std::string text;
    int mline = 0;
    webrtc_encoding_type encoding;
};

struct service_type {
    capture_type* capture = nullptr;
    webrtc_settings_type settings;
    std::thread thread;
    std::mutex lock;                     // guards requests and running
    std::condition_variable wake;        // notified with each request and at the stop
    std::deque<request_type> requests;
    bool running = true;
    webrtc_branch_type branch;           // the video thread's own, as are the two below
    webrtc_encoding_type encoding;       // asked for; applied to each encoder built
    double next_feedback = 0;            // when the peers are read next
};

std::unique_ptr<service_type> service;  // started and stopped by one caller
std::mutex listener_lock;                // guards both listeners and their calls
webrtc_listener listener;
webrtc_feedback_listener feedback_listener;

void peer_close(webrtc_branch_type& branch, const capture_branch_point_type& point, uint64_t number)
{
    auto found = branch.peers.find(number);
    if (found == branch.peers.end())
        return;
    webrtc_peer_withdraw(found->second);
    webrtc_branch_remove(branch.pipeline, branch.encoder.payload_tee, found->second.bin);
    branch.peers.erase(found);
    if (branch.peers.empty())
        webrtc_encoder_remove(branch, point.tee);
}

int negotiating(const webrtc_branch_type& branch)
{
    int count = 0;
    for (const auto& entry : branch.peers)
        count += webrtc_peer_connected(entry.second) ? 0 : 1;
    return count;
}

// Why a new peer cannot be had, or null.
const char* refusal(const webrtc_branch_type& branch, const capture_branch_point_type& point)
{
    if (point.pipeline == nullptr)
        return "the camera is down";
    if (static_cast<int>(branch.peers.size()) >= webrtc_max_peers)
        return "eight browsers watch the video already";
    if (negotiating(branch) >= webrtc_max_negotiating)
        return "four browsers are connecting to the video already";
    return nullptr;
}

void peer_open(webrtc_branch_type& branch, const capture_branch_point_type& point, uint64_t number)
{
    if (branch.peers.count(number) != 0)
        return;
    if (const char* why = refusal(branch, point)) {
        webrtc_tell(number, webrtc_signal_kind::ended, why);
        return;
    }
    std::string error;
    if (branch.encoder.bin == nullptr) {
        if (!webrtc_encoder_build(branch, point, service->settings, &error)) {
            webrtc_encoder_remove(branch, point.tee);
            webrtc_tell(number, webrtc_signal_kind::ended, "the encoder did not start: " + error);
            return;
        }
        webrtc_encoder_apply(branch.encoder, service->encoding);
    }
    webrtc_peer_type peer;
    if (!webrtc_peer_build(peer, number, service->settings, branch.encoder.gates)) {
        webrtc_tell(number, webrtc_signal_kind::ended, "this GStreamer has no webrtcbin");
        if (branch.peers.empty())
            webrtc_encoder_remove(branch, point.tee);
        return;
    }
    peer.opened = clock_seconds();
    gst_bin_add(GST_BIN(point.pipeline), peer.bin);
    branch.peers[number] = peer;
    if (!webrtc_branch_link(branch.encoder.payload_tee, peer.bin)) {
        webrtc_tell(number, webrtc_signal_kind::ended, "the video did not start");
        peer_close(branch, point, number);
        return;
    }
    // The pipeline's latency was set when it started; the sending elements need it too.
    gst_bin_recalculate_latency(GST_BIN(point.pipeline));
}

// A rebuilt (or stopped) capture took the old branch with it: its peers end, and the browsers may ask again.
void branch_follow(webrtc_branch_type& branch, const capture_branch_point_type& point)
{
    bool gone = branch.generation != point.generation || point.pipeline == nullptr;
    if (gone && (!branch.peers.empty() || branch.encoder.bin != nullptr)) {
        for (auto& entry : branch.peers) {
            webrtc_peer_withdraw(entry.second);
            webrtc_tell(entry.first, webrtc_signal_kind::ended, "the camera restarted");
        }
        branch = webrtc_branch_type{};
    }
    branch.generation = point.generation;
    branch.pipeline = point.pipeline;
}

void handle(webrtc_branch_type& branch, const capture_branch_point_type& point, const request_type& request)
{
    auto found = branch.peers.find(request.peer);
    switch (request.what) {
    case request_type::kind::open:
        peer_open(branch, point, request.peer);
        break;
    case request_type::kind::answer:
        if (found != branch.peers.end())
            webrtc_peer_answer(found->second, request.text);
        break;
    case request_type::kind::candidate:
        if (found != branch.peers.end())
            webrtc_peer_candidate(found->second, request.mline, request.text);
        break;
    case request_type::kind::close:
        peer_close(branch, point, request.peer);
        break;
    case request_type::kind::encode:
        service->encoding = request.encoding;
        webrtc_encoder_apply(branch.encoder, request.encoding);
        break;
    }
}

// A peer that has not connected in time holds sockets and threads for nothing: it ends.
void end_the_late(webrtc_branch_type& branch, const capture_branch_point_type& point, double now)
{
    std::vector<uint64_t> late;
    for (const auto& entry : branch.peers)
        if (!webrtc_peer_connected(entry.second) && now - entry.second.opened > webrtc_connect_limit)
            late.push_back(entry.first);
    for (uint64_t number : late) {
        peer_close(branch, point, number);
        webrtc_tell(number, webrtc_signal_kind::ended, "the video did not connect within 20 s");
    }
}

void read_feedback(webrtc_branch_type& branch, double now)
{
    if (now < service->next_feedback || branch.encoder.bin == nullptr)
        return;
    service->next_feedback = now + feedback_interval;
    webrtc_feedback_type encoder;
    webrtc_encoder_source(branch.encoder, &encoder.width, &encoder.height, &encoder.fps);
    webrtc_encoder_rates(branch.encoder, now, &encoder);
    for (auto& entry : branch.peers) {
        webrtc_feedback_type feedback = encoder;
        if (!webrtc_peer_feedback(entry.second, now, &feedback))
            continue;
        std::lock_guard<std::mutex> hold(listener_lock);
        if (feedback_listener)
            feedback_listener(feedback);
    }
}

// Every peer's DTLS uses the one certificate the library makes on first use, a key generation that takes
// seconds on a busy machine: made here, before any browser waits for its offer.
void make_certificate()
{
    GstElement* dtls = gst_element_factory_make("dtlsdec", nullptr);
    if (dtls != nullptr)
        gst_object_unref(gst_object_ref_sink(dtls));
}

void video_turn(const std::deque<request_type>& taken)
{
    std::lock_guard<std::mutex> hold(capture_branch_lock(service->capture));
    capture_branch_point_type point = capture_branch_point(service->capture);
    webrtc_branch_type& branch = service->branch;
    branch_follow(branch, point);
    for (const request_type& request : taken)
        handle(branch, point, request);
    double now = clock_seconds();
    end_the_late(branch, point, now);
    read_feedback(branch, now);
    webrtc_encoder_follow_key_requests(branch.encoder);
}

void video_thread()
{
    make_certificate();
    for (;;) {
        std::deque<request_type> taken;
        bool running;
        {
            std::unique_lock<std::mutex> hold(service->lock);
            service->wake.wait_for(hold, idle_wait, [] { return !service->requests.empty() || !service->running; });
            taken.swap(service->requests);
            running = service->running;
        }
        if (running) {
            video_turn(taken);
            continue;
        }
        std::lock_guard<std::mutex> hold(capture_branch_lock(service->capture));
        capture_branch_point_type point = capture_branch_point(service->capture);
        branch_follow(service->branch, point);
        while (!service->branch.peers.empty())
            peer_close(service->branch, point, service->branch.peers.begin()->first);
        return;
    }
}

void submit(request_type request)
{
    if (service == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(service->lock);
        service->requests.push_back(std::move(request));
    }
    service->wake.notify_one();
}

} // namespace

void webrtc_tell(uint64_t peer, webrtc_signal_kind kind, std::string text, int mline)
{
    std::lock_guard<std::mutex> hold(listener_lock);
    if (!listener)
        return;
    webrtc_signal_type signal;
    signal.peer = peer;
    signal.kind = kind;
    signal.text = std::move(text);
    signal.mline = mline;
    listener(signal);
}

bool webrtc_start(capture_type* capture, const webrtc_settings_type& settings, webrtc_listener on_signal,
                  webrtc_feedback_listener on_feedback, std::string* error)
{
    if (service != nullptr)
        return true;
    if (capture == nullptr) {
        *error = "no capture runs";
        return false;
    }
    GstElementFactory* factory = gst_element_factory_find("webrtcbin");
    if (factory == nullptr) {
        *error = "GStreamer's webrtcbin is not installed (gstreamer1.0-plugins-bad, gstreamer1.0-nice)";
        return false;
    }
    gst_object_unref(factory);
    {
        std::lock_guard<std::mutex> hold(listener_lock);
        listener = std::move(on_signal);
        feedback_listener = std::move(on_feedback);
    }
    service = std::make_unique<service_type>();
    service->capture = capture;
    service->settings = settings;
    service->thread = std::thread(video_thread);
    return true;
}

void webrtc_stop()
{
    if (service == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(service->lock);
        service->running = false;
    }
    service->wake.notify_one();
    service->thread.join();
    service.reset();
    std::lock_guard<std::mutex> hold(listener_lock);
    listener = nullptr;
    feedback_listener = nullptr;
}

void webrtc_open(uint64_t peer)
{
    submit({request_type::kind::open, peer, {}, 0, {}});
}

void webrtc_answer(uint64_t peer, const std::string& sdp)
{
    submit({request_type::kind::answer, peer, sdp, 0, {}});
}

void webrtc_candidate(uint64_t peer, int mline, const std::string& candidate)
{
    submit({request_type::kind::candidate, peer, candidate, mline, {}});
}

void webrtc_close(uint64_t peer)
{
    submit({request_type::kind::close, peer, {}, 0, {}});
}

void webrtc_encode(const webrtc_encoding_type& encoding)
{
    request_type request;
    request.what = request_type::kind::encode;
    request.encoding = encoding;
    submit(std::move(request));
}

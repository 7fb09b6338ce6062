// Live video on GStreamer: behind the capture's tee, while at least one browser watches, a leaky queue,
// the encoder and the payloader feed a second tee; each browser has a bin of a queue and a webrtcbin on it.
// Only the video thread changes the pipeline, with the capture's branch lock held.
#include "platform/webrtc.h"

#include "platform/gstreamer/capture_pipeline.h"

#define GST_USE_UNSTABLE_API
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr auto idle_wait = std::chrono::milliseconds(250);  // how often a rebuilt capture is noticed
constexpr int unlink_wait_ms = 1000;                        // for a tee's pad to pass its buffer in flight

struct request_type {
    enum class kind { open, answer, candidate, close } what = kind::open;
    uint64_t peer = 0;
    std::string text;
    int mline = 0;
};

// The branch as built on one pipeline; the pointers belong to that pipeline.
struct branch_type {
    unsigned long generation = 0;
    GstElement* pipeline = nullptr;
    GstElement* encoder = nullptr;        // queue ! convert ! encoder ! payloader, as one bin
    GstElement* payload_tee = nullptr;
    std::map<uint64_t, GstElement*> peers;  // each a bin: queue ! webrtcbin
};

struct service_type {
    capture_type* capture = nullptr;
    webrtc_settings_type settings;
    std::thread thread;
    std::mutex lock;                     // guards requests and running
    std::condition_variable wake;        // notified with each request and at the stop
    std::deque<request_type> requests;
    bool running = true;
    branch_type branch;                  // the video thread's own
};

std::unique_ptr<service_type> service;  // started and stopped by one caller
std::mutex listener_lock;                // guards listener and its calls
webrtc_listener listener;

void tell(uint64_t peer, webrtc_signal_kind kind, std::string text, int mline = 0)
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

// The peer number travels through GStreamer's callbacks as their user data.
gpointer peer_data(uint64_t peer)
{
    return reinterpret_cast<gpointer>(static_cast<uintptr_t>(peer));
}

uint64_t peer_of(gpointer data)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(data));
}

const char* payload_caps(const webrtc_settings_type& settings)
{
    // Another encoder's H.264 keeps its own profile and level.
    if (settings.codec == "h264" && !settings.encoder.empty())
        return "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000";
    if (settings.codec == "h264")
        return "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,"
               "packetization-mode=(string)1,profile-level-id=(string)42c01f";
    return "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000";
}

// Real-time settings: no frame is held back for a better guess, and a key frame comes every two seconds
// besides those a new viewer asks for. VP8 encodes on one thread: libvpx's threads wait for each other by
// spinning, and on a busy machine a second one cost three times what it saved.
std::string encoder_description(const webrtc_settings_type& settings)
{
    bool h264 = settings.codec == "h264";
    std::string encoder = settings.encoder;
    if (encoder.empty() && h264)
        encoder = "x264enc tune=zerolatency speed-preset=ultrafast bframes=0 key-int-max=60 bitrate=" +
                  std::to_string(settings.kbps) + " ! video/x-h264,profile=constrained-baseline,level=(string)3.1";
    else if (encoder.empty())
        encoder = "vp8enc deadline=1 cpu-used=16 end-usage=cbr lag-in-frames=0 keyframe-max-dist=60 threads=1 "
                  "error-resilient=default target-bitrate=" + std::to_string(settings.kbps * 1000);
    std::string payloader = h264 ? "rtph264pay config-interval=-1 aggregate-mode=zero-latency"
                                 : "rtpvp8pay picture-id-mode=15-bit";
    // The queue names the encoding thread, so that its share of the processor can be told apart.
    return "queue name=quillon_encode leaky=downstream max-size-buffers=1 max-size-bytes=0 max-size-time=0 ! "
           "videoconvert ! "
           "video/x-raw,format=I420 ! " + encoder + " ! " + payloader + " pt=96 mtu=1200 ! capsfilter caps=\"" +
           payload_caps(settings) + "\"";
}

GstPadProbeReturn unlink_when_idle(GstPad* pad, GstPadProbeInfo*, gpointer)
{
    GstPad* peer = gst_pad_get_peer(pad);
    if (peer != nullptr) {
        gst_pad_unlink(pad, peer);
        gst_object_unref(peer);
    }
    return GST_PAD_PROBE_REMOVE;
}

// Unlinks a bin from the tee that feeds it, gives the tee's pad back and drops the bin. The pad is unlinked
// between two buffers: a bin stopped under a buffer in flight would answer "flushing", and the tee would
// pass that up and stop the thread that feeds it (the camera's own, for the encoder's bin).
void branch_remove(GstElement* pipeline, GstElement* tee, GstElement* bin)
{
    GstPad* sink = gst_element_get_static_pad(bin, "sink");
    GstPad* source = sink != nullptr ? gst_pad_get_peer(sink) : nullptr;
    if (source != nullptr) {
        gst_pad_add_probe(source, GST_PAD_PROBE_TYPE_IDLE, unlink_when_idle, nullptr, nullptr);
        for (int waited = 0; waited < unlink_wait_ms && gst_pad_is_linked(source); waited++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        gst_element_release_request_pad(tee, source);
        gst_object_unref(source);
    }
    if (sink != nullptr)
        gst_object_unref(sink);
    gst_element_set_state(bin, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(pipeline), bin);
}

// Starts a new bin with the pipeline and links it behind the tee. Started first: a buffer the tee pushed
// into a bin not yet running would be refused as flushing.
bool branch_link(GstElement* tee, GstElement* bin)
{
    if (!gst_element_sync_state_with_parent(bin))
        return false;
    GstPad* source = gst_element_request_pad_simple(tee, "src_%u");
    GstPad* sink = gst_element_get_static_pad(bin, "sink");
    bool linked = source != nullptr && sink != nullptr && gst_pad_link(source, sink) == GST_PAD_LINK_OK;
    if (sink != nullptr)
        gst_object_unref(sink);
    if (source != nullptr && !linked)
        gst_element_release_request_pad(tee, source);
    if (source != nullptr)
        gst_object_unref(source);
    return linked;
}

bool encoder_build(branch_type& branch, const capture_branch_point_type& point, std::string* error)
{
    GError* parse_error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(encoder_description(service->settings).c_str(), TRUE,
                                                     &parse_error);
    if (bin == nullptr || parse_error != nullptr) {
        *error = parse_error != nullptr ? parse_error->message : "the encoder description gave nothing";
        g_clear_error(&parse_error);
        if (bin != nullptr)
            gst_object_unref(bin);
        return false;
    }
    gst_object_set_name(GST_OBJECT(bin), "quillon_video_encoder");
    GstElement* tee = gst_element_factory_make("tee", "quillon_video_tee");
    g_object_set(tee, "allow-not-linked", TRUE, nullptr);
    gst_bin_add_many(GST_BIN(point.pipeline), bin, tee, nullptr);
    gst_element_link(bin, tee);
    gst_element_sync_state_with_parent(tee);
    branch.encoder = bin;
    branch.payload_tee = tee;
    if (!branch_link(point.tee, bin)) {
        *error = "the encoder does not take the camera's frames";
        return false;
    }
    return true;
}

void encoder_remove(branch_type& branch, GstElement* capture_tee)
{
    if (branch.encoder != nullptr)
        branch_remove(branch.pipeline, capture_tee, branch.encoder);
    if (branch.payload_tee != nullptr) {
        gst_element_set_state(branch.payload_tee, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(branch.pipeline), branch.payload_tee);
    }
    branch.encoder = nullptr;
    branch.payload_tee = nullptr;
}

// Asks the encoder for a key frame, upstream from the peer's webrtcbin through the tee.
void request_key_frame(GstElement* webrtc)
{
    GstPad* sink = gst_element_get_static_pad(webrtc, "sink_0");
    if (sink == nullptr)
        return;
    gst_pad_push_event(sink, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(sink);
}

struct offer_context_type {
    uint64_t peer;
    GstElement* webrtc;  // a reference of its own
};

void offer_context_free(gpointer data)
{
    auto* context = static_cast<offer_context_type*>(data);
    gst_object_unref(context->webrtc);
    delete context;
}

void on_offer_created(GstPromise* promise, gpointer data)
{
    auto* context = static_cast<offer_context_type*>(data);
    GstWebRTCSessionDescription* offer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
        gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer,
                          nullptr);
    gst_promise_unref(promise);
    if (offer == nullptr) {
        tell(context->peer, webrtc_signal_kind::ended, "no offer could be made");
        return;
    }
    // The offer goes out before it is set here: setting it starts the gathering, and a candidate that
    // reached the browser before its offer would be dropped there.
    gchar* text = gst_sdp_message_as_text(offer->sdp);
    tell(context->peer, webrtc_signal_kind::offer, text);
    g_free(text);
    g_signal_emit_by_name(context->webrtc, "set-local-description", offer, nullptr);
    gst_webrtc_session_description_free(offer);
}

void on_negotiation_needed(GstElement* webrtc, gpointer data)
{
    auto* context = new offer_context_type{peer_of(data), GST_ELEMENT(gst_object_ref(webrtc))};
    GstPromise* promise = gst_promise_new_with_change_func(on_offer_created, context, offer_context_free);
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
}

void on_ice_candidate(GstElement*, guint mline, gchar* candidate, gpointer data)
{
    tell(peer_of(data), webrtc_signal_kind::candidate, candidate, static_cast<int>(mline));
}

void on_ice_state(GstElement* webrtc, GParamSpec*, gpointer data)
{
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED || state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED)
        request_key_frame(webrtc);
    else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED)
        tell(peer_of(data), webrtc_signal_kind::ended, "the connection failed");
}

// The peer's webrtcbin, sending only, with the codec fixed before the first offer.
GstElement* peer_webrtc(uint64_t peer, const std::string& name)
{
    GstElement* webrtc = gst_element_factory_make("webrtcbin", name.c_str());
    if (webrtc == nullptr)
        return nullptr;
    g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    if (!service->settings.stun.empty())
        g_object_set(webrtc, "stun-server", service->settings.stun.c_str(), nullptr);
    if (!service->settings.turn.empty())
        g_object_set(webrtc, "turn-server", service->settings.turn.c_str(), nullptr);
    g_signal_connect(webrtc, "on-negotiation-needed", G_CALLBACK(on_negotiation_needed), peer_data(peer));
    g_signal_connect(webrtc, "on-ice-candidate", G_CALLBACK(on_ice_candidate), peer_data(peer));
    g_signal_connect(webrtc, "notify::ice-connection-state", G_CALLBACK(on_ice_state), peer_data(peer));
    return webrtc;
}

GstElement* peer_build(uint64_t peer)
{
    std::string name = "quillon_video_peer_" + std::to_string(peer);
    GstElement* webrtc = peer_webrtc(peer, name + "_webrtc");
    if (webrtc == nullptr)
        return nullptr;
    GstElement* bin = gst_bin_new(name.c_str());
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    // Whole frames are many packets, and a frame missing one is lost until the next key frame: the queue
    // drops only for a peer two seconds behind.
    g_object_set(queue, "leaky", 2, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                 static_cast<guint64>(2 * GST_SECOND), nullptr);
    gst_bin_add_many(GST_BIN(bin), queue, webrtc, nullptr);
    GstPad* queue_sink = gst_element_get_static_pad(queue, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", queue_sink));
    gst_object_unref(queue_sink);
    GstPad* webrtc_sink = gst_element_request_pad_simple(webrtc, "sink_%u");
    GstPad* queue_source = gst_element_get_static_pad(queue, "src");
    gst_pad_link(queue_source, webrtc_sink);
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(webrtc_sink, "transceiver", &transceiver, nullptr);
    if (transceiver != nullptr) {
        GstCaps* caps = gst_caps_from_string(payload_caps(service->settings));
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences",
                     caps, nullptr);
        gst_caps_unref(caps);
        gst_object_unref(transceiver);
    }
    gst_object_unref(queue_source);
    gst_object_unref(webrtc_sink);
    return bin;
}

GstElement* peer_webrtc_of(GstElement* bin)
{
    std::string name = std::string(GST_OBJECT_NAME(bin)) + "_webrtc";
    return gst_bin_get_by_name(GST_BIN(bin), name.c_str());
}

void peer_open(branch_type& branch, const capture_branch_point_type& point, uint64_t peer)
{
    if (point.pipeline == nullptr) {
        tell(peer, webrtc_signal_kind::ended, "the camera is down");
        return;
    }
    if (branch.peers.count(peer) != 0)
        return;
    if (static_cast<int>(branch.peers.size()) >= webrtc_max_peers) {
        tell(peer, webrtc_signal_kind::ended, "eight browsers watch the video already");
        return;
    }
    std::string error;
    if (branch.encoder == nullptr && !encoder_build(branch, point, &error)) {
        encoder_remove(branch, point.tee);
        tell(peer, webrtc_signal_kind::ended, "the encoder did not start: " + error);
        return;
    }
    GstElement* bin = peer_build(peer);
    if (bin == nullptr) {
        tell(peer, webrtc_signal_kind::ended, "this GStreamer has no webrtcbin");
        return;
    }
    gst_bin_add(GST_BIN(point.pipeline), bin);
    branch.peers[peer] = bin;
    if (!branch_link(branch.payload_tee, bin))
        tell(peer, webrtc_signal_kind::ended, "the video did not start");
    // The pipeline's latency was set when it started; the sending elements need it too.
    gst_bin_recalculate_latency(GST_BIN(point.pipeline));
}

void peer_close(branch_type& branch, const capture_branch_point_type& point, uint64_t peer)
{
    auto found = branch.peers.find(peer);
    if (found == branch.peers.end())
        return;
    branch_remove(branch.pipeline, branch.payload_tee, found->second);
    branch.peers.erase(found);
    if (branch.peers.empty())
        encoder_remove(branch, point.tee);
}

void peer_answer(branch_type& branch, const request_type& request)
{
    auto found = branch.peers.find(request.peer);
    if (found == branch.peers.end())
        return;
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new(&sdp);
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(request.text.data()),
                                     static_cast<guint>(request.text.size()), sdp) != GST_SDP_OK) {
        gst_sdp_message_free(sdp);
        tell(request.peer, webrtc_signal_kind::ended, "the browser's answer is no SDP");
        return;
    }
    GstWebRTCSessionDescription* answer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    GstElement* webrtc = peer_webrtc_of(found->second);
    if (webrtc != nullptr) {
        g_signal_emit_by_name(webrtc, "set-remote-description", answer, nullptr);
        gst_object_unref(webrtc);
    }
    gst_webrtc_session_description_free(answer);
}

void peer_candidate(branch_type& branch, const request_type& request)
{
    auto found = branch.peers.find(request.peer);
    if (found == branch.peers.end() || request.mline < 0)
        return;
    GstElement* webrtc = peer_webrtc_of(found->second);
    if (webrtc == nullptr)
        return;
    g_signal_emit_by_name(webrtc, "add-ice-candidate", static_cast<guint>(request.mline), request.text.c_str());
    gst_object_unref(webrtc);
}

// A rebuilt (or stopped) capture took the old branch with it: its peers end, and the browsers may ask again.
void branch_follow(branch_type& branch, const capture_branch_point_type& point)
{
    bool gone = branch.generation != point.generation || point.pipeline == nullptr;
    if (gone && (!branch.peers.empty() || branch.encoder != nullptr)) {
        for (const auto& entry : branch.peers)
            tell(entry.first, webrtc_signal_kind::ended, "the camera restarted");
        branch = branch_type{};
    }
    branch.generation = point.generation;
    branch.pipeline = point.pipeline;
}

void handle(branch_type& branch, const capture_branch_point_type& point, const request_type& request)
{
    switch (request.what) {
    case request_type::kind::open:
        peer_open(branch, point, request.peer);
        break;
    case request_type::kind::answer:
        peer_answer(branch, request);
        break;
    case request_type::kind::candidate:
        peer_candidate(branch, request);
        break;
    case request_type::kind::close:
        peer_close(branch, point, request.peer);
        break;
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
        std::lock_guard<std::mutex> hold(capture_branch_lock(service->capture));
        capture_branch_point_type point = capture_branch_point(service->capture);
        branch_follow(service->branch, point);
        if (!running) {
            while (!service->branch.peers.empty())
                peer_close(service->branch, point, service->branch.peers.begin()->first);
            return;
        }
        for (const request_type& request : taken)
            handle(service->branch, point, request);
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

bool webrtc_start(capture_type* capture, const webrtc_settings_type& settings, webrtc_listener on_signal,
                  std::string* error)
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
}

void webrtc_open(uint64_t peer)
{
    submit({request_type::kind::open, peer, {}, 0});
}

void webrtc_answer(uint64_t peer, const std::string& sdp)
{
    submit({request_type::kind::answer, peer, sdp, 0});
}

void webrtc_candidate(uint64_t peer, int mline, const std::string& candidate)
{
    submit({request_type::kind::candidate, peer, candidate, mline});
}

void webrtc_close(uint64_t peer)
{
    submit({request_type::kind::close, peer, {}, 0});
}

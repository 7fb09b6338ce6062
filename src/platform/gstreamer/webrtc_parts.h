// The pieces the GStreamer video service is built from, shared by its files: the encoder branch behind the
// capture's tee (webrtc_encoder.cpp), each browser's peer (webrtc_peer.cpp), and the service that runs them
// on the video thread (webrtc.cpp).
#pragma once

#include "platform/gstreamer/capture_pipeline.h"
#include "platform/webrtc.h"

#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// What a peer's GStreamer callbacks share with the video thread. Each callback holds it through a shared
// pointer, so one that runs while the peer is withdrawn still finds it, sees it closed and does nothing.
struct webrtc_peer_context_type {
    uint64_t peer = 0;
    std::mutex lock;           // guards the fields below
    bool closed = false;       // withdrawn: no offer is set, no signal told, nothing started any more
    bool connected = false;    // ICE connected at least once
    bool offering = false;     // an offer is being made
    std::condition_variable offered;  // notified when it has been
    double remb_kbps = 0;      // the browser's newest REMB
};

struct webrtc_peer_type {
    GstElement* bin = nullptr;     // queue ! webrtcbin, in the pipeline
    GstElement* webrtc = nullptr;  // the bin's webrtcbin, borrowed
    std::shared_ptr<webrtc_peer_context_type> context;
    double opened = 0;             // when it was asked for
    bool feedback_heard = false;   // its RTCP feedback is listened to
    guint64 bytes_sent = 0;        // at the last feedback
    double feedback_at = 0;        // when that was
    std::string last_report;       // the receiver report figures then, to tell a new report
    double last_round_trip = 0;    // the round trip then, to tell a new reading
    gint64 lost = 0;               // the reports' packets lost so far, then
    guint highest = 0;             // and their highest sequence number (extended); 0: none yet
};

constexpr int webrtc_video_payload = 96;  // the video's RTP payload type; its retransmissions have another

// Shared between the video thread and the encoder's and peers' streaming threads (pad probes).
struct webrtc_gates_type {
    std::atomic<int> kbps{0};                  // the bitrate the encoder was last given
    std::atomic<int> max_fps{0};               // frames a second let through to the encoder; 0: all
    GstClockTime next_frame = GST_CLOCK_TIME_NONE;  // the streaming thread's own: the next frame let through
    std::atomic<gint64> last_key_request{0};   // monotonic microseconds of the last request passed on
    std::atomic<bool> key_request_waiting{false};  // one came too soon after it and waits
    std::atomic<guint64> frames_in{0};         // frames let through to the encoder
    std::atomic<guint64> frames_out{0};        // frames it encoded
    std::atomic<guint64> bytes_out{0};         // and their bytes
};

// The encoder's counts at one reading, to tell its rates at the next.
struct webrtc_encoder_counts_type {
    guint64 frames_in = 0, frames_out = 0, bytes_out = 0;
    double at = 0;  // seconds on the platform's clock; 0: never read
};

struct webrtc_encoder_type {
    GstElement* bin = nullptr;          // queue ! convert ! scale ! size filter ! encoder ! payloader
    GstElement* payload_tee = nullptr;  // one branch a peer
    GstElement* codec = nullptr;        // the encoding element, borrowed from the bin
    GstElement* size = nullptr;         // the size filter, borrowed
    std::shared_ptr<webrtc_gates_type> gates;
    webrtc_encoding_type applied;       // what the encoder was last told
    webrtc_encoder_counts_type counted; // at the last reading of its rates
};

// The branch as built on one pipeline; the pointers belong to that pipeline.
struct webrtc_branch_type {
    unsigned long generation = 0;
    GstElement* pipeline = nullptr;
    webrtc_encoder_type encoder;
    std::map<uint64_t, webrtc_peer_type> peers;
};

// Hands a signal to the service's listener (webrtc.cpp).
void webrtc_tell(uint64_t peer, webrtc_signal_kind kind, std::string text, int mline = 0);

// The encoder (webrtc_encoder.cpp).
bool webrtc_encoder_build(webrtc_branch_type& branch, const capture_branch_point_type& point,
                          const webrtc_settings_type& settings, std::string* error);
void webrtc_encoder_remove(webrtc_branch_type& branch, GstElement* capture_tee);
void webrtc_encoder_apply(webrtc_encoder_type& encoder, const webrtc_encoding_type& encoding);
// A key frame asked for too soon after the last one is sent once a second has passed.
void webrtc_encoder_follow_key_requests(webrtc_encoder_type& encoder);
// The capture's frame size and rate, as the encoder receives them; false before the first frame.
bool webrtc_encoder_source(const webrtc_encoder_type& encoder, int* width, int* height, int* fps);
// What the encoder was given and made since the last call, into feedback's encoder fields.
void webrtc_encoder_rates(webrtc_encoder_type& encoder, double now, webrtc_feedback_type* feedback);
const char* webrtc_payload_caps(const webrtc_settings_type& settings);
bool webrtc_branch_link(GstElement* tee, GstElement* bin);
void webrtc_branch_remove(GstElement* pipeline, GstElement* tee, GstElement* bin);

// The peers (webrtc_peer.cpp).
// Its retransmissions are held to a share of the encoder's bitrate, read from gates.
bool webrtc_peer_build(webrtc_peer_type& peer, uint64_t number, const webrtc_settings_type& settings,
                       const std::shared_ptr<webrtc_gates_type>& gates);
void webrtc_peer_withdraw(webrtc_peer_type& peer);
void webrtc_peer_answer(webrtc_peer_type& peer, const std::string& sdp);
void webrtc_peer_candidate(webrtc_peer_type& peer, int mline, const std::string& candidate);
bool webrtc_peer_connected(const webrtc_peer_type& peer);
// Reads the peer's statistics and its browser's newest REMB into feedback; false when it has none yet.
bool webrtc_peer_feedback(webrtc_peer_type& peer, double now, webrtc_feedback_type* feedback);

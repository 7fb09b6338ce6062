// One browser's peer: a queue and a webrtcbin that sends only, its negotiation, and what its browser
// reports of the link. Every GStreamer callback of the peer checks, under the peer's lock, that it has not
// been withdrawn: a peer withdrawn before its offer was made must never set that offer, since setting it
// starts an ICE agent gathering that nothing would stop.
#include "platform/gstreamer/webrtc_parts.h"

#include <gst/sdp/sdp.h>
#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using context_ptr = std::shared_ptr<webrtc_peer_context_type>;

constexpr auto offer_wait = std::chrono::seconds(2);  // for an offer being made when its peer is withdrawn
constexpr GstClockTime report_interval = GST_SECOND / 4;  // at least between two sender reports
constexpr double resend_share = 0.25;  // of the encoder's bitrate, at most, for packets sent again
constexpr double resend_burst = 0.2;   // seconds of that share that may go at once

void context_free(gpointer data, GClosure*)
{
    delete static_cast<context_ptr*>(data);
}

const context_ptr& context_of(gpointer data)
{
    return *static_cast<context_ptr*>(data);
}

void connect(gpointer instance, const char* signal, GCallback callback, const context_ptr& context)
{
    g_signal_connect_data(instance, signal, callback, new context_ptr(context), context_free, GConnectFlags(0));
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

// The browser is asked for its own estimate of the link (REMB) besides its receiver reports.
void offer_remb(GstWebRTCSessionDescription* offer)
{
    for (guint index = 0; index < gst_sdp_message_medias_len(offer->sdp); index++) {
        auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(offer->sdp, index));
        for (guint format = 0; format < gst_sdp_media_formats_len(media); format++) {
            std::string type = gst_sdp_media_get_format(media, format);
            const char* rtpmap = nullptr;
            for (guint a = 0; (rtpmap = gst_sdp_media_get_attribute_val_n(media, "rtpmap", a)) != nullptr; a++)
                if (g_str_has_prefix(rtpmap, (type + " ").c_str()) && g_strrstr(rtpmap, "rtx") == nullptr &&
                    g_strrstr(rtpmap, "red") == nullptr && g_strrstr(rtpmap, "ulpfec") == nullptr)
                    break;
            if (rtpmap != nullptr)
                gst_sdp_media_add_attribute(media, "rtcp-fb", (type + " goog-remb").c_str());
        }
    }
}

struct offer_job_type {
    context_ptr context;
    GstElement* webrtc;  // a reference of its own
};

void offer_job_free(gpointer data)
{
    auto* job = static_cast<offer_job_type*>(data);
    gst_object_unref(job->webrtc);
    delete job;
}

void on_offer_created(GstPromise* promise, gpointer data)
{
    auto* job = static_cast<offer_job_type*>(data);
    GstWebRTCSessionDescription* offer = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED)
        gst_structure_get(gst_promise_get_reply(promise), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer,
                          nullptr);
    gst_promise_unref(promise);
    std::lock_guard<std::mutex> hold(job->context->lock);
    job->context->offering = false;
    job->context->offered.notify_all();
    if (job->context->closed) {
        if (offer != nullptr)
            gst_webrtc_session_description_free(offer);
        return;
    }
    if (offer == nullptr) {
        webrtc_tell(job->context->peer, webrtc_signal_kind::ended, "no offer could be made");
        return;
    }
    offer_remb(offer);
    // The offer goes out before it is set here: setting it starts the gathering, and a candidate that
    // reached the browser before its offer would be dropped there.
    gchar* text = gst_sdp_message_as_text(offer->sdp);
    webrtc_tell(job->context->peer, webrtc_signal_kind::offer, text);
    g_free(text);
    g_signal_emit_by_name(job->webrtc, "set-local-description", offer, nullptr);
    gst_webrtc_session_description_free(offer);
}

void on_negotiation_needed(GstElement* webrtc, gpointer data)
{
    {
        std::lock_guard<std::mutex> hold(context_of(data)->lock);
        if (context_of(data)->closed)
            return;
        context_of(data)->offering = true;
    }
    auto* job = new offer_job_type{context_of(data), GST_ELEMENT(gst_object_ref(webrtc))};
    GstPromise* promise = gst_promise_new_with_change_func(on_offer_created, job, offer_job_free);
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
}

void on_ice_candidate(GstElement*, guint mline, gchar* candidate, gpointer data)
{
    const context_ptr& context = context_of(data);
    std::lock_guard<std::mutex> hold(context->lock);
    if (!context->closed)
        webrtc_tell(context->peer, webrtc_signal_kind::candidate, candidate, static_cast<int>(mline));
}

void on_ice_state(GstElement* webrtc, GParamSpec*, gpointer data)
{
    const context_ptr& context = context_of(data);
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &state, nullptr);
    std::lock_guard<std::mutex> hold(context->lock);
    if (context->closed)
        return;
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED || state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED) {
        context->connected = true;
        request_key_frame(webrtc);
    } else if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED) {
        webrtc_tell(context->peer, webrtc_signal_kind::ended, "the connection failed");
    }
}

// A REMB: "REMB", the count of streams, then a 6-bit exponent and an 18-bit mantissa of bits a second.
void on_feedback(GObject*, guint type, guint fbtype, guint, guint, GstBuffer* fci, gpointer data)
{
    constexpr guint payload_specific = 206, application_layer = 15;
    if (type != payload_specific || fbtype != application_layer || fci == nullptr)
        return;
    GstMapInfo map;
    if (!gst_buffer_map(fci, &map, GST_MAP_READ))
        return;
    const guint8* b = map.data;
    if (map.size >= 8 && b[0] == 'R' && b[1] == 'E' && b[2] == 'M' && b[3] == 'B') {
        guint64 mantissa = (static_cast<guint64>(b[5] & 3) << 16) | (static_cast<guint64>(b[6]) << 8) | b[7];
        double bits = static_cast<double>(mantissa << (b[5] >> 2));
        const context_ptr& context = context_of(data);
        std::lock_guard<std::mutex> hold(context->lock);
        context->remb_kbps = bits / 1000.0;
    }
    gst_buffer_unmap(fci, &map);
}

// Frames encoded while the browser connects would wait in the peer's queue and reach the link as one burst
// once it is up, seconds of them at once, which a narrow link answers with heavy loss: they are dropped.
// The first frame after is a key frame, asked for when the connection is made.
GstPadProbeReturn drop_until_connected(GstPad*, GstPadProbeInfo*, gpointer data)
{
    const context_ptr& context = context_of(data);
    std::lock_guard<std::mutex> hold(context->lock);
    return context->connected ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
}

void context_probe_free(gpointer data)
{
    delete static_cast<context_ptr*>(data);
}

// What a peer may send again (on the browser's NACK) is held to a share of the encoder's bitrate: on a
// link at its limit, much is lost, every loss is asked for again, and answering them all would flood it.
struct resend_budget_type {
    std::shared_ptr<webrtc_gates_type> gates;
    double bytes = 0;  // that may be sent again now
    gint64 at = 0;     // monotonic microseconds of the last packet sent again
};

void resend_budget_free(gpointer data)
{
    delete static_cast<resend_budget_type*>(data);
}

// Sent packets one by one after the retransmission store: the retransmissions (not the video's own
// payload type) within the budget pass.
GstPadProbeReturn limit_resending(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& budget = *static_cast<resend_budget_type*>(data);
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    guint8 header[2];
    if (buffer == nullptr || gst_buffer_extract(buffer, 0, header, 2) < 2 || (header[1] & 0x7f) == webrtc_video_payload)
        return GST_PAD_PROBE_OK;
    gint64 now = g_get_monotonic_time();
    double rate = budget.gates->kbps.load() * 1000.0 / 8 * resend_share;  // bytes a second
    if (budget.at != 0)
        budget.bytes = std::min(rate * resend_burst, budget.bytes + rate * static_cast<double>(now - budget.at) / 1e6);
    budget.at = now;
    double size = static_cast<double>(gst_buffer_get_size(buffer));
    if (budget.bytes < size)
        return GST_PAD_PROBE_DROP;
    budget.bytes -= size;
    return GST_PAD_PROBE_OK;
}

struct sender_job_type {
    std::shared_ptr<webrtc_gates_type> gates;
    double loss = 0;  // for tests only: the share of packets dropped after the retransmission store
};

void sender_job_free(gpointer data, GClosure*)
{
    delete static_cast<sender_job_type*>(data);
}

// What sits between the peer's RTP session (with its retransmission store) and its transport: the
// budget, and, for tests only, a lossy link.
GstElement* make_sender(GstElement*, GObject*, gpointer data)
{
    auto* job = static_cast<sender_job_type*>(data);
    const char* description = job->loss > 0 ? "identity name=quillon_resend_budget ! netsim name=quillon_test_loss"
                                            : "identity name=quillon_resend_budget";
    GstElement* bin = gst_parse_bin_from_description(description, TRUE, nullptr);
    if (GstElement* netsim = bin != nullptr ? gst_bin_get_by_name(GST_BIN(bin), "quillon_test_loss") : nullptr) {
        g_object_set(netsim, "drop-probability", static_cast<gfloat>(job->loss), nullptr);
        gst_object_unref(netsim);
    }
    GstElement* identity = bin != nullptr ? gst_bin_get_by_name(GST_BIN(bin), "quillon_resend_budget") : nullptr;
    if (identity == nullptr)
        return bin;
    GstPad* sink = gst_element_get_static_pad(identity, "sink");
    gst_pad_add_probe(sink, GST_PAD_PROBE_TYPE_BUFFER, limit_resending, new resend_budget_type{job->gates},
                      resend_budget_free);
    gst_object_unref(sink);
    gst_object_unref(identity);
    return bin;
}

// No UPnP: libnice, as distributions build it, would otherwise ask the router to open a port to the
// Internet for every candidate, for anyone and without expiry.
void agent_without_upnp(GstElement* webrtc)
{
    GObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (ice == nullptr)
        return;
    GObject* agent = nullptr;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(ice), "agent") != nullptr)
        g_object_get(ice, "agent", &agent, nullptr);
    if (agent != nullptr && g_object_class_find_property(G_OBJECT_GET_CLASS(agent), "upnp") != nullptr)
        g_object_set(agent, "upnp", FALSE, nullptr);
    if (agent != nullptr)
        g_object_unref(agent);
    g_object_unref(ice);
}

GstElement* make_webrtc(const context_ptr& context, const std::string& name, const webrtc_settings_type& settings,
                        const std::shared_ptr<webrtc_gates_type>& gates)
{
    GstElement* webrtc = gst_element_factory_make("webrtcbin", name.c_str());
    if (webrtc == nullptr)
        return nullptr;
    g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, nullptr);
    agent_without_upnp(webrtc);
    if (!settings.stun.empty())
        g_object_set(webrtc, "stun-server", settings.stun.c_str(), nullptr);
    if (!settings.turn.empty())
        g_object_set(webrtc, "turn-server", settings.turn.c_str(), nullptr);
    connect(webrtc, "on-negotiation-needed", G_CALLBACK(on_negotiation_needed), context);
    connect(webrtc, "on-ice-candidate", G_CALLBACK(on_ice_candidate), context);
    connect(webrtc, "notify::ice-connection-state", G_CALLBACK(on_ice_state), context);
    g_signal_connect_data(webrtc, "request-aux-sender", G_CALLBACK(make_sender),
                          new sender_job_type{gates, settings.test_loss}, sender_job_free, GConnectFlags(0));
    return webrtc;
}

// Sending only, with the codec fixed before the first offer; lost packets are sent again on the browser's
// request (NACK), so that one loss does not cost a key frame.
void set_transceiver(GstPad* sink, const webrtc_settings_type& settings)
{
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(sink, "transceiver", &transceiver, nullptr);
    if (transceiver == nullptr)
        return;
    GstCaps* caps = gst_caps_from_string(webrtc_payload_caps(settings));
    g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, "codec-preferences", caps,
                 nullptr);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(transceiver), "do-nack") != nullptr)
        g_object_set(transceiver, "do-nack", TRUE, nullptr);
    gst_caps_unref(caps);
    gst_object_unref(transceiver);
}

std::string number_text(const GstStructure* stats, const char* field)
{
    double value = 0;
    gint whole = 0;
    char text[32] = "";
    if (gst_structure_get_double(stats, field, &value))
        std::snprintf(text, sizeof text, "%.6f", value);
    else if (gst_structure_get_int(stats, field, &whole))
        std::snprintf(text, sizeof text, "%d", whole);
    return text;
}

struct stats_found_type {
    webrtc_feedback_type* feedback = nullptr;
    guint64 bytes_sent = 0;
    bool outbound = false;
    std::string report;  // the remote report's figures as text, empty when there is none
    gint64 lost = 0;     // the report's packets lost so far
    guint highest = 0;   // and the highest sequence number it had then (extended); 0: not told
};

// The report's packets lost so far and its highest sequence number, from GStreamer's own record of it.
void read_counts(const GstStructure* stats, stats_found_type* found)
{
    const GstStructure* source = nullptr;
    const GValue* inner = gst_structure_get_value(stats, "gst-rtpsource-stats");
    if (inner != nullptr && GST_VALUE_HOLDS_STRUCTURE(inner))
        source = gst_value_get_structure(inner);
    if (source == nullptr || !gst_structure_get_int64(stats, "packets-lost", &found->lost) ||
        !gst_structure_get_uint(source, "rb-exthighestseq", &found->highest))
        found->highest = 0;
}

gboolean read_stats(GQuark, const GValue* value, gpointer data)
{
    auto* found = static_cast<stats_found_type*>(data);
    if (!GST_VALUE_HOLDS_STRUCTURE(value))
        return TRUE;
    const GstStructure* stats = gst_value_get_structure(value);
    GstWebRTCStatsType type;
    if (!gst_structure_get(stats, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr))
        return TRUE;
    if (type == GST_WEBRTC_STATS_OUTBOUND_RTP) {
        // The video's own stream and its retransmissions: all of it crosses the link.
        guint64 bytes = 0;
        if (gst_structure_get_uint64(stats, "bytes-sent", &bytes)) {
            found->bytes_sent += bytes;
            found->outbound = true;
        }
    } else if (type == GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) {
        gst_structure_get_double(stats, "fraction-lost", &found->feedback->fraction_lost);
        gst_structure_get_double(stats, "round-trip-time", &found->feedback->round_trip);
        gst_structure_get_double(stats, "jitter", &found->feedback->jitter);
        read_counts(stats, found);
        found->report = number_text(stats, "packets-lost") + " " + number_text(stats, "fraction-lost") + " " +
                        number_text(stats, "round-trip-time") + " " + number_text(stats, "jitter");
    }
    return TRUE;
}

void listen_for_remb(webrtc_peer_type& peer)
{
    GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(peer.webrtc), "rtpbin");
    if (rtpbin == nullptr)
        return;
    GObject* session = nullptr;
    g_signal_emit_by_name(rtpbin, "get-internal-session", 0u, &session);
    if (session != nullptr) {
        // A round trip is measured against the newest sender report; with one every five seconds (the
        // default), the queue a report met is told again for seconds after it has drained.
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(session), "rtcp-min-interval") != nullptr)
            g_object_set(session, "rtcp-min-interval", static_cast<guint64>(report_interval), nullptr);
        connect(session, "on-feedback-rtcp", G_CALLBACK(on_feedback), peer.context);
        g_object_unref(session);
        peer.feedback_heard = true;
    }
    gst_object_unref(rtpbin);
}

} // namespace

bool webrtc_peer_build(webrtc_peer_type& peer, uint64_t number, const webrtc_settings_type& settings,
                       const std::shared_ptr<webrtc_gates_type>& gates)
{
    peer.context = std::make_shared<webrtc_peer_context_type>();
    peer.context->peer = number;
    std::string name = "quillon_video_peer_" + std::to_string(number);
    GstElement* webrtc = make_webrtc(peer.context, name + "_webrtc", settings, gates);
    if (webrtc == nullptr)
        return false;
    GstElement* bin = gst_bin_new(name.c_str());
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    // Whole frames are many packets, and a frame missing one is lost until the next key frame: the queue
    // drops only for a peer two seconds behind.
    g_object_set(queue, "leaky", 2, "max-size-buffers", 0u, "max-size-bytes", 0u, "max-size-time",
                 static_cast<guint64>(2 * GST_SECOND), nullptr);
    gst_bin_add_many(GST_BIN(bin), queue, webrtc, nullptr);
    GstPad* queue_sink = gst_element_get_static_pad(queue, "sink");
    gst_pad_add_probe(queue_sink, GST_PAD_PROBE_TYPE_BUFFER, drop_until_connected, new context_ptr(peer.context),
                      context_probe_free);
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", queue_sink));
    gst_object_unref(queue_sink);
    GstPad* webrtc_sink = gst_element_request_pad_simple(webrtc, "sink_%u");
    GstPad* queue_source = gst_element_get_static_pad(queue, "src");
    gst_pad_link(queue_source, webrtc_sink);
    set_transceiver(webrtc_sink, settings);
    gst_object_unref(queue_source);
    gst_object_unref(webrtc_sink);
    peer.bin = bin;
    peer.webrtc = webrtc;
    return true;
}

// From now on its callbacks do nothing; the caller then stops the bin, which ends its ICE agent. An offer
// being made is waited for: a webrtcbin stopped while it makes one keeps its ICE agent's sockets.
void webrtc_peer_withdraw(webrtc_peer_type& peer)
{
    if (peer.context == nullptr)
        return;
    std::unique_lock<std::mutex> hold(peer.context->lock);
    peer.context->closed = true;
    peer.context->offered.wait_for(hold, offer_wait, [&] { return !peer.context->offering; });
}

bool webrtc_peer_connected(const webrtc_peer_type& peer)
{
    std::lock_guard<std::mutex> hold(peer.context->lock);
    return peer.context->connected;
}

void webrtc_peer_answer(webrtc_peer_type& peer, const std::string& text)
{
    GstSDPMessage* sdp = nullptr;
    gst_sdp_message_new(&sdp);
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(text.data()), static_cast<guint>(text.size()),
                                     sdp) != GST_SDP_OK) {
        gst_sdp_message_free(sdp);
        webrtc_tell(peer.context->peer, webrtc_signal_kind::ended, "the browser's answer is no SDP");
        return;
    }
    GstWebRTCSessionDescription* answer = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    g_signal_emit_by_name(peer.webrtc, "set-remote-description", answer, nullptr);
    gst_webrtc_session_description_free(answer);
}

void webrtc_peer_candidate(webrtc_peer_type& peer, int mline, const std::string& candidate)
{
    if (mline >= 0)
        g_signal_emit_by_name(peer.webrtc, "add-ice-candidate", static_cast<guint>(mline), candidate.c_str());
}

bool webrtc_peer_feedback(webrtc_peer_type& peer, double now, webrtc_feedback_type* feedback)
{
    if (!webrtc_peer_connected(peer))
        return false;
    if (!peer.feedback_heard)
        listen_for_remb(peer);
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(peer.webrtc, "get-stats", nullptr, promise);
    stats_found_type found;
    found.feedback = feedback;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED && gst_promise_get_reply(promise) != nullptr)
        gst_structure_foreach(gst_promise_get_reply(promise), read_stats, &found);
    gst_promise_unref(promise);
    if (!found.outbound)
        return false;
    feedback->peer = peer.context->peer;
    feedback->now = now;
    feedback->report = !found.report.empty() && found.report != peer.last_report;
    // The browser reports with each of its requests to send a packet again, so the loss a report tells
    // is of a few packets, often the one it asks for: the loss is counted over the reports since the last
    // feedback, net of what was sent again meanwhile.
    if (feedback->report && found.highest > peer.highest && peer.highest > 0)
        feedback->fraction_lost = std::clamp(static_cast<double>(found.lost - peer.lost) / (found.highest - peer.highest), 0.0, 1.0);
    if (found.highest > 0) {
        peer.lost = found.lost;
        peer.highest = found.highest;
    }
    // A round trip is measured only now and then; the same figure again is an old one, not a new reading.
    double round_trip = feedback->round_trip;
    if (round_trip == peer.last_round_trip)
        feedback->round_trip = 0;
    peer.last_round_trip = round_trip;
    if (peer.feedback_at > 0 && now > peer.feedback_at && found.bytes_sent >= peer.bytes_sent)
        feedback->sent_kbps = static_cast<double>(found.bytes_sent - peer.bytes_sent) * 8 / 1000 / (now - peer.feedback_at);
    peer.last_report = found.report;
    peer.bytes_sent = found.bytes_sent;
    peer.feedback_at = now;
    std::lock_guard<std::mutex> hold(peer.context->lock);
    feedback->remb_kbps = peer.context->remb_kbps;
    return true;
}

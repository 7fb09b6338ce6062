// The live video's encoder branch: behind the capture's tee, a leaky queue, conversion, scaling to the
// size asked for, the encoder and the payloader, feeding a second tee with one branch a peer. Two pad
// probes keep the encoder within what the links carry: one lets through only the frames a second asked
// for, the other passes the browsers' key frame requests on at most once a second.
#include "platform/gstreamer/webrtc_parts.h"

#include <gst/video/video.h>

#include <chrono>
#include <thread>

namespace {

constexpr int unlink_wait_ms = 1000;           // for a tee's pad to pass its buffer in flight
constexpr gint64 key_request_gap_us = 1000000;  // key frames on request, at most one a second

// Where each encoder takes its bitrate, and in what unit (bits a second per unit).
struct bitrate_property_type {
    const char* factory;
    const char* property;
    int bits_per_unit;
};
constexpr bitrate_property_type bitrate_properties[] = {
    {"vp8enc", "target-bitrate", 1},   {"vp9enc", "target-bitrate", 1},  {"x264enc", "bitrate", 1000},
    {"openh264enc", "bitrate", 1},     {"vaapih264enc", "bitrate", 1000}, {"vaapivp8enc", "bitrate", 1000},
    {"nvh264enc", "bitrate", 1000},    {"msdkh264enc", "bitrate", 1000},  {"qsvh264enc", "bitrate", 1000},
};

int starting_kbps(const webrtc_settings_type& settings)
{
    return std::max(settings.floor_kbps, std::min(settings.start_kbps, settings.kbps));
}

// Real-time settings: no frame is held back for a better guess; a key frame comes every 60 frames besides
// those a browser asks for, and its size is bounded (three average frames for VP8, a quarter second's
// worth for H.264), since a link at its limit drops a burst. VP8 keeps to its bitrate within 15 % and
// rather drops a frame than goes over when its buffer runs low: at its coarsest a busy picture still
// needs more than a narrow link carries, and an overshoot fills the link's queue. VP8 encodes on one
// thread: libvpx's threads wait for each other by spinning, and on a busy machine a second one cost three
// times what it saved.
std::string encoder_description(const webrtc_settings_type& settings)
{
    bool h264 = settings.codec == "h264";
    int kbps = starting_kbps(settings);
    std::string encoder = settings.encoder;
    if (encoder.empty() && h264)
        encoder = "x264enc name=quillon_video_codec tune=zerolatency speed-preset=ultrafast bframes=0 key-int-max=60 "
                  "vbv-buf-capacity=250 bitrate=" + std::to_string(kbps) +
                  " ! video/x-h264,profile=constrained-baseline,level=(string)3.1";
    else if (encoder.empty())
        encoder = "vp8enc name=quillon_video_codec deadline=1 cpu-used=16 end-usage=cbr lag-in-frames=0 "
                  "keyframe-max-dist=60 threads=1 error-resilient=default max-intra-bitrate=300 overshoot=15 "
                  "undershoot=100 dropframe-threshold=30 "
                  "buffer-size=1000 buffer-initial-size=500 buffer-optimal-size=600 target-bitrate=" +
                  std::to_string(kbps * 1000);
    std::string payloader = h264 ? "rtph264pay config-interval=-1 aggregate-mode=zero-latency"
                                 : "rtpvp8pay picture-id-mode=15-bit";
    // The queue names the encoding thread, so that its share of the processor can be told apart.
    return "queue name=quillon_encode leaky=downstream max-size-buffers=1 max-size-bytes=0 max-size-time=0 ! "
           "videoconvert ! videoscale ! capsfilter name=quillon_video_size caps=video/x-raw,format=I420 ! " +
           encoder + " ! " + payloader + " pt=96 mtu=1200 ! capsfilter caps=\"" + webrtc_payload_caps(settings) + "\"";
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

// A frame sooner than the rate asked for allows is dropped; a frame let through lasts until the next one
// may come, so that the encoder's rate control counts the time it stands for.
GstPadProbeReturn gate_frames(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& gates = **static_cast<std::shared_ptr<webrtc_gates_type>*>(data);
    int fps = gates.max_fps.load();
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (fps <= 0 || buffer == nullptr || !GST_BUFFER_PTS_IS_VALID(buffer)) {
        gates.frames_in++;
        return GST_PAD_PROBE_OK;
    }
    GstClockTime pts = GST_BUFFER_PTS(buffer);
    GstClockTime interval = GST_SECOND / static_cast<GstClockTime>(fps);
    // A little early still counts: the source's own timestamps wander by a millisecond or two.
    if (gates.next_frame != GST_CLOCK_TIME_NONE && pts + interval / 8 < gates.next_frame && pts + GST_SECOND > gates.next_frame)
        return GST_PAD_PROBE_DROP;
    gates.next_frame = pts + interval;
    gates.frames_in++;
    buffer = gst_buffer_make_writable(buffer);
    GST_BUFFER_DURATION(buffer) = interval;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn count_encoded(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& gates = **static_cast<std::shared_ptr<webrtc_gates_type>*>(data);
    if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info)) {
        gates.frames_out++;
        gates.bytes_out += gst_buffer_get_size(buffer);
    }
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn gate_key_requests(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& gates = **static_cast<std::shared_ptr<webrtc_gates_type>*>(data);
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event == nullptr || !gst_video_event_is_force_key_unit(event))
        return GST_PAD_PROBE_OK;
    gint64 now = g_get_monotonic_time();
    gint64 last = gates.last_key_request.load();
    if (last != 0 && now - last < key_request_gap_us) {
        gates.key_request_waiting = true;
        return GST_PAD_PROBE_DROP;
    }
    gates.last_key_request = now;
    gates.key_request_waiting = false;
    return GST_PAD_PROBE_OK;
}

void gates_free(gpointer data)
{
    delete static_cast<std::shared_ptr<webrtc_gates_type>*>(data);
}

void add_gate(GstElement* element, const char* pad_name, GstPadProbeType type, GstPadProbeCallback callback,
              const std::shared_ptr<webrtc_gates_type>& gates)
{
    GstPad* pad = gst_element_get_static_pad(element, pad_name);
    if (pad == nullptr)
        return;
    gst_pad_add_probe(pad, type, callback, new std::shared_ptr<webrtc_gates_type>(gates), gates_free);
    gst_object_unref(pad);
}

// The element that encodes: ours by name, or in an encoder description of the user's, the first whose
// class says it encodes video.
GstElement* find_codec(GstElement* bin)
{
    GstElement* named = gst_bin_get_by_name(GST_BIN(bin), "quillon_video_codec");
    if (named != nullptr) {
        gst_object_unref(named);
        return named;
    }
    GstElement* found = nullptr;
    GstIterator* elements = gst_bin_iterate_recurse(GST_BIN(bin));
    GValue item = G_VALUE_INIT;
    while (found == nullptr && gst_iterator_next(elements, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* factory = gst_element_get_factory(element);
        const char* klass = factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS) : nullptr;
        if (klass != nullptr && g_strrstr(klass, "Encoder") != nullptr && g_strrstr(klass, "Video") != nullptr)
            found = element;
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(elements);
    return found;
}

void apply_kbps(GstElement* codec, int kbps)
{
    GstElementFactory* factory = codec != nullptr ? gst_element_get_factory(codec) : nullptr;
    const char* name = factory != nullptr ? GST_OBJECT_NAME(factory) : "";
    for (const bitrate_property_type& entry : bitrate_properties) {
        if (g_strcmp0(name, entry.factory) != 0)
            continue;
        GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(codec), entry.property);
        if (param == nullptr)
            return;
        guint64 value = static_cast<guint64>(kbps) * 1000 / static_cast<guint64>(entry.bits_per_unit);
        if (param->value_type == G_TYPE_INT)
            g_object_set(codec, entry.property, static_cast<gint>(value), nullptr);
        else if (param->value_type == G_TYPE_UINT)
            g_object_set(codec, entry.property, static_cast<guint>(value), nullptr);
        return;
    }
}

} // namespace

const char* webrtc_payload_caps(const webrtc_settings_type& settings)
{
    // Another encoder's H.264 keeps its own profile and level.
    if (settings.codec == "h264" && !settings.encoder.empty())
        return "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000";
    if (settings.codec == "h264")
        return "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,"
               "packetization-mode=(string)1,profile-level-id=(string)42c01f";
    return "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000";
}

// Unlinks a bin from the tee that feeds it, gives the tee's pad back and drops the bin. The pad is unlinked
// between two buffers: a bin stopped under a buffer in flight would answer "flushing", and the tee would
// pass that up and stop the thread that feeds it (the camera's own, for the encoder's bin).
void webrtc_branch_remove(GstElement* pipeline, GstElement* tee, GstElement* bin)
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
bool webrtc_branch_link(GstElement* tee, GstElement* bin)
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

bool webrtc_encoder_build(webrtc_branch_type& branch, const capture_branch_point_type& point,
                          const webrtc_settings_type& settings, std::string* error)
{
    GError* parse_error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(encoder_description(settings).c_str(), TRUE, &parse_error);
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
    webrtc_encoder_type& encoder = branch.encoder;
    encoder = webrtc_encoder_type{};
    encoder.bin = bin;
    encoder.payload_tee = tee;
    encoder.codec = find_codec(bin);
    encoder.size = gst_bin_get_by_name(GST_BIN(bin), "quillon_video_size");
    if (encoder.size != nullptr)
        gst_object_unref(encoder.size);  // the bin keeps it
    encoder.gates = std::make_shared<webrtc_gates_type>();
    encoder.applied.kbps = starting_kbps(settings);
    encoder.gates->kbps = encoder.applied.kbps;
    GstElement* queue = gst_bin_get_by_name(GST_BIN(bin), "quillon_encode");
    if (queue != nullptr) {
        add_gate(queue, "src", GST_PAD_PROBE_TYPE_BUFFER, gate_frames, encoder.gates);
        gst_object_unref(queue);
    }
    add_gate(tee, "sink", GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, gate_key_requests, encoder.gates);
    if (encoder.codec != nullptr)
        add_gate(encoder.codec, "src", GST_PAD_PROBE_TYPE_BUFFER, count_encoded, encoder.gates);
    if (!webrtc_branch_link(point.tee, bin)) {
        *error = "the encoder does not take the camera's frames";
        return false;
    }
    return true;
}

void webrtc_encoder_remove(webrtc_branch_type& branch, GstElement* capture_tee)
{
    webrtc_encoder_type& encoder = branch.encoder;
    if (encoder.bin != nullptr)
        webrtc_branch_remove(branch.pipeline, capture_tee, encoder.bin);
    if (encoder.payload_tee != nullptr) {
        gst_element_set_state(encoder.payload_tee, GST_STATE_NULL);
        gst_bin_remove(GST_BIN(branch.pipeline), encoder.payload_tee);
    }
    encoder = webrtc_encoder_type{};
}

bool webrtc_encoder_source(const webrtc_encoder_type& encoder, int* width, int* height, int* fps)
{
    GstPad* sink = encoder.bin != nullptr ? gst_element_get_static_pad(encoder.bin, "sink") : nullptr;
    GstCaps* caps = sink != nullptr ? gst_pad_get_current_caps(sink) : nullptr;
    GstVideoInfo info;
    bool known = caps != nullptr && gst_video_info_from_caps(&info, caps);
    if (known) {
        *width = GST_VIDEO_INFO_WIDTH(&info);
        *height = GST_VIDEO_INFO_HEIGHT(&info);
        *fps = GST_VIDEO_INFO_FPS_D(&info) > 0 ? GST_VIDEO_INFO_FPS_N(&info) / GST_VIDEO_INFO_FPS_D(&info) : 0;
    }
    if (caps != nullptr)
        gst_caps_unref(caps);
    if (sink != nullptr)
        gst_object_unref(sink);
    return known;
}

void webrtc_encoder_apply(webrtc_encoder_type& encoder, const webrtc_encoding_type& encoding)
{
    if (encoder.bin == nullptr || encoding == encoder.applied)
        return;
    webrtc_encoding_type& done = encoder.applied;
    if (encoding.kbps > 0 && encoding.kbps != done.kbps) {
        apply_kbps(encoder.codec, encoding.kbps);
        done.kbps = encoding.kbps;
        encoder.gates->kbps = encoding.kbps;
    }
    encoder.gates->max_fps = encoding.fps;
    done.fps = encoding.fps;
    int width = 0, height = 0, fps = 0;
    if (encoding.divisor == done.divisor || encoder.size == nullptr ||
        !webrtc_encoder_source(encoder, &width, &height, &fps))
        return;
    int divisor = std::max(1, encoding.divisor);
    // Even sizes: I420 halves them for its colour planes.
    GstCaps* caps = divisor == 1 ? gst_caps_from_string("video/x-raw,format=I420")
                                 : gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width",
                                                       G_TYPE_INT, (width / divisor) & ~1, "height", G_TYPE_INT,
                                                       (height / divisor) & ~1, nullptr);
    g_object_set(encoder.size, "caps", caps, nullptr);
    gst_caps_unref(caps);
    done.divisor = divisor;
}

void webrtc_encoder_follow_key_requests(webrtc_encoder_type& encoder)
{
    if (encoder.payload_tee == nullptr || !encoder.gates->key_request_waiting)
        return;
    if (g_get_monotonic_time() - encoder.gates->last_key_request.load() < key_request_gap_us)
        return;
    GstPad* sink = gst_element_get_static_pad(encoder.payload_tee, "sink");
    if (sink == nullptr)
        return;
    gst_pad_push_event(sink, gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
    gst_object_unref(sink);
}

void webrtc_encoder_rates(webrtc_encoder_type& encoder, double now, webrtc_feedback_type* feedback)
{
    if (encoder.gates == nullptr)
        return;
    webrtc_encoder_counts_type counts;
    counts.frames_in = encoder.gates->frames_in.load();
    counts.frames_out = encoder.gates->frames_out.load();
    counts.bytes_out = encoder.gates->bytes_out.load();
    counts.at = now;
    const webrtc_encoder_counts_type& last = encoder.counted;
    double elapsed = now - last.at;
    if (last.at > 0 && elapsed > 0) {
        feedback->offered_fps = static_cast<double>(counts.frames_in - last.frames_in) / elapsed;
        feedback->encoded_fps = static_cast<double>(counts.frames_out - last.frames_out) / elapsed;
        feedback->encoded_kbps = static_cast<double>(counts.bytes_out - last.bytes_out) * 8 / 1000 / elapsed;
    }
    encoder.counted = counts;
}

// The capture service on GStreamer: "<description> ! tee ! appsink" keeps only the newest frame, in the
// format the source makes; a frame is converted to the camera service's layout only when it is taken.
// The tee lets the live video branch join while browsers watch.
#include "platform/capture.h"
#include "platform/gstreamer/capture_pipeline.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace {

using capture_clock = std::chrono::steady_clock;

constexpr const char* sink_name = "quillon_capture_sink";
constexpr const char* tee_name = "quillon_capture_tee";
constexpr auto restart_interval = std::chrono::seconds(2);
// 8-bit layouts cameras and test sources make; listing them keeps a source whose format is left open
// from choosing a 16-bit one, and every one of them converts without loss of speed.
constexpr const char* sink_caps =
    "video/x-raw,format=(string){ RGBx, BGRx, xRGB, xBGR, RGBA, BGRA, ARGB, ABGR, RGB, BGR, I420, YV12, NV12, "
    "NV21, YUY2, UYVY, YVYU, Y42B, Y444, GRAY8 }";

// One built pipeline and the references taken on it.
struct pipeline_type {
    GstElement* pipeline = nullptr;
    GstElement* sink = nullptr;
    GstElement* tee = nullptr;
    GstBus* bus = nullptr;
};

} // namespace

struct capture_type {
    std::string description;              // as configured, without the sink this service appends
    capture_format_type format;           // learned when the capture opened
    pipeline_type current;                // null members while the source is down
    std::atomic<bool> up{false};          // frames may come
    bool restarting = false;              // rebuilt, not yet negotiated
    capture_clock::time_point retry_at;   // next rebuild while down
    GstVideoInfo converter_input;         // what the converter was made for
    int converter_width = 0;
    int converter_height = 0;
    GstVideoConverter* converter = nullptr;
    std::mutex branch_lock;               // guards current's pipeline and tee against the video branch,
    unsigned long generation = 0;         // and this count of pipelines built
};

namespace {

bool library_ready(std::string* error)
{
    static std::once_flag once;
    static std::string failure;
    std::call_once(once, [] {
        GError* init_error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &init_error)) {
            failure = init_error != nullptr ? init_error->message : "GStreamer did not start";
            g_clear_error(&init_error);
        }
    });
    if (!failure.empty())
        *error = failure;
    return failure.empty();
}

// The text of an error or warning message: the element that sent it and the library's reason.
std::string message_text(GstMessage* message)
{
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR)
        gst_message_parse_error(message, &error, &debug);
    else
        gst_message_parse_warning(message, &error, &debug);
    std::string text = GST_MESSAGE_SRC_NAME(message) != nullptr ? GST_MESSAGE_SRC_NAME(message) : "pipeline";
    text += ": ";
    text += error != nullptr ? error->message : "unknown error";
    // The debug text names the cause behind generic reasons such as "Internal data stream error."
    if (debug != nullptr) {
        const char* reason = std::strstr(debug, "reason ");
        if (reason != nullptr)
            text += std::string(" (") + reason + ")";
    }
    g_clear_error(&error);
    g_free(debug);
    return text;
}

// Stops and drops a pipeline: NULL wakes a blocked pull and flushes the bus, then the references go.
void pipeline_drop(pipeline_type& built)
{
    if (built.pipeline != nullptr)
        gst_element_set_state(built.pipeline, GST_STATE_NULL);
    if (built.sink != nullptr)
        gst_object_unref(built.sink);
    if (built.tee != nullptr)
        gst_object_unref(built.tee);
    if (built.bus != nullptr)
        gst_object_unref(built.bus);
    if (built.pipeline != nullptr)
        gst_object_unref(built.pipeline);
    built = pipeline_type{};
}

// The first error the bus holds, or the fallback.
std::string bus_error(GstBus* bus, const char* fallback)
{
    GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    if (message == nullptr)
        return fallback;
    std::string text = message_text(message);
    gst_message_unref(message);
    return text;
}

bool pipeline_parse(const std::string& description, pipeline_type& built, std::string* error)
{
    // A tee with nothing but the sink behind it costs a pointer's hand-over per frame.
    std::string full = description + " ! tee name=" + tee_name + " allow-not-linked=true ! appsink name=" + sink_name;
    GError* parse_error = nullptr;
    built.pipeline = gst_parse_launch_full(full.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &parse_error);
    if (parse_error != nullptr || built.pipeline == nullptr) {
        *error = parse_error != nullptr ? parse_error->message : "the description gave no pipeline";
        g_clear_error(&parse_error);
        pipeline_drop(built);
        return false;
    }
    built.sink = GST_IS_BIN(built.pipeline) ? gst_bin_get_by_name(GST_BIN(built.pipeline), sink_name) : nullptr;
    if (built.sink == nullptr || !GST_IS_APP_SINK(built.sink)) {
        *error = "the description's end cannot feed the capture's sink";
        pipeline_drop(built);
        return false;
    }
    built.tee = gst_bin_get_by_name(GST_BIN(built.pipeline), tee_name);
    built.bus = gst_element_get_bus(built.pipeline);
    GstCaps* caps = gst_caps_from_string(sink_caps);
    gst_app_sink_set_caps(GST_APP_SINK(built.sink), caps);
    gst_caps_unref(caps);
    gst_app_sink_set_max_buffers(GST_APP_SINK(built.sink), 1);
    gst_app_sink_set_drop(GST_APP_SINK(built.sink), TRUE);
    // The end of a source is reported at once, not when someone happens to take the last frame.
    gst_app_sink_set_wait_on_eos(GST_APP_SINK(built.sink), FALSE);
    return true;
}

// Builds and plays the description. A live source (a camera) hands frames over as they come; any other
// (a test pattern, a file) is paced by the clock, or it would make frames as fast as a core allows.
bool pipeline_build(const std::string& description, pipeline_type& built, std::string* error)
{
    if (!pipeline_parse(description, built, error))
        return false;
    GstStateChangeReturn paused = gst_element_set_state(built.pipeline, GST_STATE_PAUSED);
    if (paused != GST_STATE_CHANGE_FAILURE) {
        g_object_set(built.sink, "sync", paused == GST_STATE_CHANGE_NO_PREROLL ? FALSE : TRUE, nullptr);
        if (gst_element_set_state(built.pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE)
            return true;
    }
    *error = bus_error(built.bus, "the source refused to start");
    pipeline_drop(built);
    return false;
}

// The negotiated frame format at the sink, once the source has settled on one.
bool pipeline_format(const pipeline_type& built, capture_format_type* format)
{
    GstPad* pad = gst_element_get_static_pad(built.sink, "sink");
    GstCaps* caps = pad != nullptr ? gst_pad_get_current_caps(pad) : nullptr;
    GstVideoInfo info;
    bool known = caps != nullptr && gst_video_info_from_caps(&info, caps);
    if (known) {
        format->width = GST_VIDEO_INFO_WIDTH(&info);
        format->height = GST_VIDEO_INFO_HEIGHT(&info);
        format->frame_rate = GST_VIDEO_INFO_FPS_D(&info) > 0
                                 ? static_cast<double>(GST_VIDEO_INFO_FPS_N(&info)) / GST_VIDEO_INFO_FPS_D(&info)
                                 : 0.0;
    }
    if (caps != nullptr)
        gst_caps_unref(caps);
    if (pad != nullptr)
        gst_object_unref(pad);
    return known;
}

// Waits for the negotiated format; false with the reason when the source fails, ends or takes too long.
bool pipeline_settle(const pipeline_type& built, int wait_ms, capture_format_type* format, std::string* error)
{
    auto deadline = capture_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        if (pipeline_format(built, format))
            return true;
        GstMessage* message = gst_bus_timed_pop_filtered(
            built.bus, 10 * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
        if (message != nullptr) {
            *error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS ? "the source ended before its first frame"
                                                                   : message_text(message);
            gst_message_unref(message);
            return false;
        }
        if (capture_clock::now() >= deadline) {
            *error = "no frame format within " + std::to_string(wait_ms) + " ms";
            return false;
        }
    }
}

// The converter from the frame's layout to packed RGBx of the wanted size, made anew when either changes.
GstVideoConverter* converter_for(capture_type* capture, const GstVideoInfo& input, int width, int height)
{
    if (capture->converter != nullptr && gst_video_info_is_equal(&capture->converter_input, &input) &&
        capture->converter_width == width && capture->converter_height == height)
        return capture->converter;
    if (capture->converter != nullptr)
        gst_video_converter_free(capture->converter);
    GstVideoInfo output;
    gst_video_info_set_format(&output, GST_VIDEO_FORMAT_RGBx, static_cast<guint>(width), static_cast<guint>(height));
    // The converter changes layout and size only: timing and field order must be the input's.
    GST_VIDEO_INFO_FPS_N(&output) = GST_VIDEO_INFO_FPS_N(&input);
    GST_VIDEO_INFO_FPS_D(&output) = GST_VIDEO_INFO_FPS_D(&input);
    GST_VIDEO_INFO_INTERLACE_MODE(&output) = GST_VIDEO_INFO_INTERLACE_MODE(&input);
    GstStructure* options = gst_structure_new("options", GST_VIDEO_CONVERTER_OPT_DITHER_METHOD,
                                              GST_TYPE_VIDEO_DITHER_METHOD, GST_VIDEO_DITHER_NONE, nullptr);
    capture->converter = gst_video_converter_new(const_cast<GstVideoInfo*>(&input), &output, options);
    capture->converter_input = input;
    capture->converter_width = width;
    capture->converter_height = height;
    return capture->converter;
}

// Converts one sample into the caller's pixels, whose rows are packed (RGBx rows never need padding).
bool convert_sample(capture_type* capture, GstSample* sample, unsigned char* pixels, int width, int height)
{
    GstVideoInfo input;
    GstCaps* caps = gst_sample_get_caps(sample);
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (caps == nullptr || buffer == nullptr || !gst_video_info_from_caps(&input, caps))
        return false;
    GstVideoConverter* converter = converter_for(capture, input, width, height);
    if (converter == nullptr)
        return false;
    gsize size = static_cast<gsize>(width) * static_cast<gsize>(height) * 4;
    GstBuffer* target = gst_buffer_new_wrapped_full(static_cast<GstMemoryFlags>(0), pixels, size, 0, size,
                                                    nullptr, nullptr);
    const GstVideoInfo* output = gst_video_converter_get_out_info(converter);
    GstVideoFrame source_frame;
    GstVideoFrame target_frame;
    bool converted = false;
    if (gst_video_frame_map(&source_frame, &input, buffer, GST_MAP_READ)) {
        if (gst_video_frame_map(&target_frame, const_cast<GstVideoInfo*>(output), target, GST_MAP_WRITE)) {
            gst_video_converter_frame(converter, &source_frame, &target_frame);
            gst_video_frame_unmap(&target_frame);
            converted = true;
        }
        gst_video_frame_unmap(&source_frame);
    }
    gst_buffer_unref(target);
    return converted;
}

// The live video's elements share the pipeline; their failures end one browser's video, not the source.
bool from_video_branch(GstMessage* message)
{
    for (GstObject* object = GST_MESSAGE_SRC(message); object != nullptr; object = GST_OBJECT_PARENT(object))
        if (GST_OBJECT_NAME(object) != nullptr && g_str_has_prefix(GST_OBJECT_NAME(object), "quillon_video"))
            return true;
    return false;
}

void source_lost(capture_type* capture)
{
    {
        std::lock_guard<std::mutex> hold(capture->branch_lock);
        pipeline_drop(capture->current);
    }
    capture->up = false;
    capture->restarting = false;
    capture->retry_at = capture_clock::now() + restart_interval;
}

// While down: rebuild when the back-off has passed; a rebuilt source counts as back once it negotiates.
capture_event source_restart(capture_type* capture)
{
    if (!capture->restarting) {
        if (capture_clock::now() < capture->retry_at)
            return capture_event::none;
        std::string ignored;  // the loss was reported once; each failed attempt only waits again
        pipeline_type built;
        if (!pipeline_build(capture->description, built, &ignored)) {
            capture->retry_at = capture_clock::now() + restart_interval;
            return capture_event::none;
        }
        std::lock_guard<std::mutex> hold(capture->branch_lock);
        capture->current = built;
        capture->generation++;
        capture->restarting = true;
    }
    capture_format_type format;
    if (!pipeline_format(capture->current, &format))
        return capture_event::none;
    capture->restarting = false;
    capture->up = true;
    return capture_event::restored;
}

} // namespace

capture_type* capture_open(const char* description, int wait_ms, std::string* error)
{
    if (!library_ready(error))
        return nullptr;
    auto* capture = new capture_type;
    capture->description = description != nullptr ? description : "";
    gst_video_info_init(&capture->converter_input);
    if (!pipeline_build(capture->description, capture->current, error) ||
        !pipeline_settle(capture->current, wait_ms, &capture->format, error)) {
        capture_close(capture);
        return nullptr;
    }
    capture->up = true;
    return capture;
}

void capture_close(capture_type* capture)
{
    if (capture == nullptr)
        return;
    {
        std::lock_guard<std::mutex> hold(capture->branch_lock);
        pipeline_drop(capture->current);
    }
    if (capture->converter != nullptr)
        gst_video_converter_free(capture->converter);
    delete capture;
}

capture_format_type capture_format(const capture_type* capture)
{
    return capture->format;
}

bool capture_running(const capture_type* capture)
{
    return capture->up;
}

bool capture_take(capture_type* capture, unsigned char* pixels, int width, int height, int wait_ms)
{
    if (!capture->up || pixels == nullptr || width <= 0 || height <= 0)
        return false;
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(capture->current.sink),
                                                     static_cast<GstClockTime>(wait_ms) * GST_MSECOND);
    if (sample == nullptr)
        return false;
    bool converted = convert_sample(capture, sample, pixels, width, height);
    gst_sample_unref(sample);
    return converted;
}

// Everything the bus holds, read in one go so that a burst of warnings cannot hold an error back for
// several checks: the first error or end is the event, otherwise the warnings' texts joined.
static capture_event bus_drain(GstBus* bus, std::string* reason)
{
    capture_event event = capture_event::none;
    auto wanted = static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS | GST_MESSAGE_WARNING);
    while (GstMessage* message = gst_bus_pop_filtered(bus, wanted)) {
        GstMessageType type = GST_MESSAGE_TYPE(message);
        // The live video's branch failing costs the viewers their video, not the capture its source.
        bool lost = type == GST_MESSAGE_EOS || (type == GST_MESSAGE_ERROR && !from_video_branch(message));
        if (event != capture_event::lost && lost) {
            *reason = type == GST_MESSAGE_EOS ? "the source ended" : message_text(message);
            event = capture_event::lost;
        } else if (event == capture_event::none) {
            *reason = message_text(message);
            event = capture_event::warning;
        } else if (event == capture_event::warning && reason->size() < 1000) {
            *reason += "; " + message_text(message);
        }
        gst_message_unref(message);
    }
    return event;
}

capture_event capture_check(capture_type* capture, std::string* reason)
{
    if (capture->current.pipeline == nullptr || capture->restarting) {
        if (capture->restarting) {
            // A rebuilt source that fails again goes back to waiting without a second report.
            GstMessage* message = gst_bus_pop_filtered(
                capture->current.bus, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
            if (message != nullptr) {
                gst_message_unref(message);
                source_lost(capture);
                return capture_event::none;
            }
        }
        return source_restart(capture);
    }
    capture_event event = bus_drain(capture->current.bus, reason);
    if (event == capture_event::lost)
        source_lost(capture);
    return event;
}

std::mutex& capture_branch_lock(capture_type* capture)
{
    return capture->branch_lock;
}

capture_branch_point_type capture_branch_point(capture_type* capture)
{
    capture_branch_point_type point;
    if (capture->up) {
        point.pipeline = capture->current.pipeline;
        point.tee = capture->current.tee;
    }
    point.generation = capture->generation;
    return point;
}

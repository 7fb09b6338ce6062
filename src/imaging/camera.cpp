// The camera service: image requests, the camera thread that answers them from the newest frame, the
// frame buffers, the image message and the subscribers' JPEGs.
#include "imaging/camera.h"

#include "services/threads.h"
#include "services/time.h"
#include "services/log.h"
#include "services/message_lines.h"
#include "imaging/compress.h"
#include "imaging/serialcamera.h"
#include "platform/capture.h"
#include "robot/robot.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <system_error>

camera_class camera;

namespace {

constexpr int capture_open_wait_ms = 5000;  // a camera that has not settled on a size by then is not used
constexpr int fresh_frame_wait_ms = 50;     // a request waits this long for a frame newer than the last sent
constexpr int thread_wait_ms = 100;         // the thread looks at its flags at least this often
constexpr double watch_retry = 0.02;        // a subscriber due with no new frame is looked at again this much later

} // namespace

void auto_reset_event_class::signal()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        signalled = true;
    }
    changed.notify_one();
}

bool auto_reset_event_class::wait_for(int milliseconds)
{
    std::unique_lock<std::mutex> hold(lock);
    bool came = changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return signalled; });
    signalled = false;
    return came;
}

camera_class::camera_class() {}

camera_class::~camera_class()
{
    // The program never stops the service; a thread still running at exit must be ended before it goes.
    {
        std::lock_guard<std::mutex> hold(lock);
        running = false;
    }
    if (thread_handle.joinable())
        thread_handle.join();
    release_buffers();
    capture_close(capture);
}

void camera_class::start_capture(window_handle parent)
{
    if (camera_pipeline.empty())
        return;
    if (!open_source(camera_pipeline))
        return;
    setup_buffer();
    if (!buffers_fit_frame()) {
        capture_close(capture);
        capture = nullptr;
        serial_frames = false;
        return;
    }
    start(parent);
}

// Learns the frame size from the source the setting names; false, with a message line, when none opens.
bool camera_class::open_source(const std::string& setting)
{
    if (setting == "serial") {
        serial_frames = true;
        source_text = "the serial camera";
        if (!serial_camera_size(&width, &height)) {
            width = 160;
            height = 120;
        }
        add_line("Camera - Serial camera pictures: %d x %d", width, height);
        return true;
    }
    source_text = setting == "device" ? "v4l2src device=/dev/video" + std::to_string(camera_number) : setting;
    std::string reason;
    capture = capture_open(source_text.c_str(), capture_open_wait_ms, &reason);
    if (capture == nullptr) {
        add_line("Camera - Capture failed: %s", reason.c_str());
        log_write("Camera - Capture description: %s", source_text.c_str());
        return false;
    }
    capture_format_type format = capture_format(capture);
    width = format.width;
    height = format.height;
    add_line("Camera - Capture %d x %d at %.4g fps", width, height, format.frame_rate);
    return true;
}

void camera_class::start(window_handle)
{
    if (capture == nullptr && !serial_frames) {
        add_line("Unable to create capture window");
        return;
    }
    if (thread_handle.joinable()) {
        log_write("Camera - Already started");
        return;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        running = true;
    }
    if (!thread_start(thread_handle, "Camera", [this] { run_thread(this); })) {
        std::lock_guard<std::mutex> hold(lock);
        running = false;
        return;
    }
    thread_id = thread_handle.get_id();
    request_event.signal();
}

void camera_class::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        running = false;
    }
    if (thread_handle.joinable())
        thread_handle.join();
    release_buffers();
    // The capture goes last, once no thread can take frames from it.
    capture_close(capture);
    capture = nullptr;
}

void camera_class::update()
{
    request_rate = request_count;
    request_count = 0;
}

void camera_class::request_image()
{
    image_wanted = true;
    request_event.signal();
    request_count++;
}

unsigned int camera_class::run_thread(void* self)
{
    return static_cast<camera_class*>(self)->camera_thread(nullptr);
}

unsigned int camera_class::camera_thread(void*)
{
    thread_state_type state;
    for (;;) {
        int wait_ms = thread_wait_ms;
        if (watched()) {
            double due = std::max(camera_feed_capture_due(get_time()), state.next_watch - get_time());
            wait_ms = std::clamp(static_cast<int>(due * 1000.0) + 1, 0, thread_wait_ms);
        }
        // A request wakes the thread at once; several before the wait wake it once.
        request_event.wait_for(wait_ms);
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!running)
                return 0;
        }
        check_capture();
        serve(state);
    }
}

// One pass: a waiting request gets the newest frame, and a watcher that is due gets a frame it has not had.
void camera_class::serve(thread_state_type& state)
{
    bool wanted = image_wanted.exchange(false);
    double now = get_time();
    bool watch_due = watched() && now >= state.next_watch && camera_feed_capture_due(now) <= 0.0;
    if (!wanted && !watch_due)
        return;
    // While the source is down the last frame is old news: requests wait for the first frame after it.
    if (capture != nullptr && !capture_running(capture))
        state.message_ready = false;
    take_newest(state, wanted ? fresh_frame_wait_ms : 0);
    if (wanted) {
        if (state.message_ready)
            send_message();
        else
            image_wanted = true;  // no frame yet: the first one answers it
    }
    if (watch_due) {
        // A frame a request took first is still news to the watcher.
        bool news = state.message_ready && state.message_number != state.watched_number;
        if (news) {
            give_subscribers();
            state.watched_number = state.message_number;
        }
        state.next_watch = news ? 0.0 : get_time() + watch_retry;
    }
}

// Puts the image message of a frame newer than the last one taken into compressed_buffer; false when no
// newer frame came within the wait, and the message of the last one then stays as it was.
bool camera_class::take_newest(thread_state_type& state, int wait_ms)
{
    if (!buffers_fit_frame())
        return false;
    if (serial_frames) {
        serial_picture_type picture;
        unsigned int room = static_cast<unsigned int>(compressed_buffer_size) - image_header_size;
        if (!serial_camera_picture(compressed_buffer + image_header_size, room, state.picture_number, &picture))
            return false;
        state.picture_number = picture.number;
        jpeg_size = picture.length;
        image_message_header(compressed_buffer, picture.width, picture.height, jpeg_size);
        state.message_ready = true;
        state.message_number++;
        return true;
    }
    if (capture == nullptr || !capture_take(capture, camera_buffer, width, height, wait_ms))
        return false;
    state.message_ready = encode_frame();
    state.message_number++;
    return state.message_ready;
}

void camera_class::give_subscribers()
{
    camera_picture_type picture;
    picture.source = camera_source::capture;
    picture.jpeg = compressed_buffer + image_header_size;
    picture.length = jpeg_size;
    picture.width = width;
    picture.height = height;
    picture.time = get_time();
    camera_feed_offer(picture);
}

// Reports a capture that fails or ends once, and again when it is back.
void camera_class::check_capture()
{
    if (capture == nullptr)
        return;
    std::string reason;
    switch (capture_check(capture, &reason)) {
    case capture_event::lost:
        add_line("Camera - Capture lost: %s; retrying every 2 s", reason.c_str());
        break;
    case capture_event::restored:
        add_line("Camera - Capture running again");
        break;
    case capture_event::warning:
        log_write("Camera - Capture warning: %s", reason.c_str());
        break;
    case capture_event::none:
        break;
    }
}

camera_want_type camera_class::shown(double rate) const
{
    camera_want_type want;
    bool captured = !camera_pipeline.empty() && camera_pipeline != "serial";
    want.capture = captured;
    want.serial = !captured;
    want.capture_rate = want.serial_rate = rate;
    return want;
}

void camera_class::feed_changed()
{
    request_event.signal();
}

void camera_class::setup_buffer()
{
    // Every size derives from width x height; sizes an int cannot hold fail like a refused allocation.
    bool sizable = width >= 0 && height >= 0 && static_cast<long long>(width) * height <= INT_MAX / 8;
    std::size_t pixels = sizable ? static_cast<std::size_t>(width) * static_cast<std::size_t>(height) : 0;

    std::free(camera_buffer);
    camera_buffer = sizable ? static_cast<unsigned char*>(std::malloc(pixels * 4)) : nullptr;
    if (camera_buffer == nullptr) {
        add_line("Unable to create camera buffer");
        return;
    }
    std::free(compressed_buffer);
    compressed_buffer_size = static_cast<int>(pixels * 8);
    compressed_buffer = static_cast<unsigned char*>(std::malloc(pixels * 8));
    if (compressed_buffer == nullptr) {
        add_line("Unable to create compressed buffer");
        return;
    }
    std::free(transcode_buffer);
    transcode_buffer = static_cast<unsigned char*>(std::malloc(pixels * 4));
    if (transcode_buffer == nullptr) {
        add_line("Unable to create transcode buffer");
        return;
    }
    bitmap_info = bitmap_info_type{};
    bitmap_info.biSize = 40;
    bitmap_info.biWidth = width;
    bitmap_info.biHeight = height;
    bitmap_info.biPlanes = 1;
    bitmap_info.biBitCount = 32;
    bitmap_info.biCompression = 0;
    bitmap_info.biSizeImage = static_cast<uint32_t>(pixels * 4);
}

void camera_class::set_image_sender(camera_image_sender sender)
{
    image_sender = std::move(sender);
}

// The image message goes to the operator link; the camera never waits for it and ignores the result.
void camera_class::send_message()
{
    if (image_sender)
        image_sender(compressed_buffer, jpeg_size + image_header_size);
}

void camera_class::send_image()
{
    if (encode_frame())
        send_message();
}

// Compresses camera_buffer into the image message in compressed_buffer; false when there is none.
bool camera_class::encode_frame()
{
    if (!buffers_fit_frame()) {
        log_write("Camera - No buffers for a frame of %d x %d", width, height);
        return false;
    }
    if (!compress_frame(camera_buffer, compressed_buffer + image_header_size, transcode_buffer,
                        compressed_buffer_size - static_cast<int>(image_header_size), &jpeg_size, width, height)) {
        add_line("Camera - Unable to compress the frame");
        return false;
    }
    image_message_header(compressed_buffer, width, height, jpeg_size);
    return true;
}

void camera_class::setup_camera(window_handle, bool)
{
    if (capture == nullptr && !serial_frames) {
        // Without camera_pipeline the key does nothing at all, as on a PC that has no camera.
        if (!camera_pipeline.empty())
            add_line("Camera - No capture: the source did not start");
        return;
    }
    double rate = 0.0;
    if (serial_frames)
        robot.get_camera_rate(&rate);
    else
        rate = capture_format(capture).frame_rate;
    bool down = capture != nullptr && !capture_running(capture);
    add_line("Camera - Capture: %s%s", source_text.c_str(), down ? " (down, retrying)" : "");
    add_line("Camera - Frame size: %d x %d", width, height);
    if (rate > 0.0)
        add_line("Camera - Frame rate: %.3g fps", rate);
    else
        add_line("Camera - Frame rate: not fixed");
}

// The three buffers exist together only after one successful setup_buffer, and their sizes follow from
// width x height alone, so the frame fits them exactly when that product is unchanged.
bool camera_class::buffers_fit_frame() const
{
    if (camera_buffer == nullptr || compressed_buffer == nullptr || transcode_buffer == nullptr)
        return false;
    if (width <= 0 || height <= 0)
        return false;
    long long message_bytes = static_cast<long long>(width) * height * 8;
    return message_bytes == compressed_buffer_size && message_bytes > static_cast<long long>(image_header_size);
}

void camera_class::release_buffers()
{
    std::free(camera_buffer);
    camera_buffer = nullptr;
    std::free(compressed_buffer);
    compressed_buffer = nullptr;
    std::free(transcode_buffer);
    transcode_buffer = nullptr;
}

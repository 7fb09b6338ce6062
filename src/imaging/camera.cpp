// The camera service: image requests, the camera thread, the frame buffers and the image message.
#include "imaging/camera.h"

#include "app/threads.h"
#include "app/utility.h"
#include "console/display.h"
#include "imaging/compress.h"
#include "net/network.h"

#include <chrono>
#include <climits>
#include <cstdlib>

camera_class camera;

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
}

void camera_class::start(window_handle)
{
    if (capture_window == nullptr) {
        add_line("Unable to create capture window");
        return;
    }
    if (thread_handle.joinable()) {
        log("Camera - Already started");
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
    if (capture_window != nullptr)
        window_send(capture_window, WM_CAP_DRIVER_DISCONNECT, 0, 0);
}

void camera_class::update()
{
    request_rate = request_count;
    request_count = 0;
}

void camera_class::request_image()
{
    request_event.signal();
    request_count++;
}

unsigned int camera_class::run_thread(void* self)
{
    return static_cast<camera_class*>(self)->camera_thread(nullptr);
}

unsigned int camera_class::camera_thread(void*)
{
    for (;;) {
        // Waits even before a frame buffer exists, so the thread never spins; a request wakes it at once.
        request_event.wait_for(100);
        std::lock_guard<std::mutex> hold(lock);
        if (!running)
            return 0;
    }
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

void camera_class::send_image()
{
    if (!buffers_fit_frame()) {
        log("Camera - No buffers for a frame of %d x %d", width, height);
        return;
    }
    if (!compress_frame(camera_buffer, compressed_buffer + image_header_size, transcode_buffer,
                        compressed_buffer_size - static_cast<int>(image_header_size), &jpeg_size, width, height)) {
        add_line("Camera - Unable to compress the frame");
        return;
    }
    image_message_header(compressed_buffer, width, height, jpeg_size);
    network_send(compressed_buffer, jpeg_size + image_header_size);
}

void camera_class::setup_camera(window_handle, bool) {}

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

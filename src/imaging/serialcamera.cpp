// The serial camera: reassembly of the JPEG stream from device-8 messages, decoding on the reading thread,
// and the "Serial Camera" window that shows the latest image four times enlarged.
#include "imaging/serialcamera.h"

#include "imaging/camera_feed.h"

#include "imaging/camera.h"

#include "services/time.h"
#include "services/taps.h"
#include "services/log.h"
#include "services/utility.h"
#include "services/message_lines.h"
#include "robot/robot.h"
#include "platform/canvas.h"
#include "platform/messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>


namespace {

struct program_camera_type {
    std::mutex lock;                  // guards camera: the reading thread never meets a deleted one
    serial_cam_class* camera = nullptr;  // the program's serial camera, or none
};

program_camera_type program_camera;

constexpr unsigned char code_size = 5;     // bytes 1, 2: length of the coming stream, high byte first
constexpr unsigned char code_data = 6;     // bytes 1 ...: the next piece of the stream
constexpr unsigned char code_message = 7;  // byte 1: a code from the camera

} // namespace

serial_cam_class::serial_cam_class(const char* camera_name, unsigned char camera_device, unsigned int camera_size_index)
    : device(camera_device), size_index(camera_size_index)
{
    std::snprintf(name, sizeof name, "%s", camera_name != nullptr ? camera_name : "");
    log_write("Serial Cam [%s - %d] - Construct", name, device);
    start();
}

serial_cam_class::~serial_cam_class()
{
    log_write("Serial Cam [%s - %d] - Destruct", name, device);
    // The window outlives the object: from now on its messages get the default handling.
    if (hwnd != nullptr)
        window_set_user_data(hwnd, nullptr);
    std::lock_guard<std::mutex> hold(lock);
    release_buffers();
}

void serial_cam_class::start()
{
    log_write("Serial Cam [%s - %d] - Start", name, device);
    if (started)
        return;
    started = true;
    if (window_find("SerialCamWin") == nullptr && !window_register_class({"SerialCamWin", cam_proc_wrapper})) {
        log_write("Serial Cam [%s - %d] - Start - Unable to register window class", name, device);
        return;
    }
    hwnd = window_create("SerialCamWin", "Serial Camera", 200, 200, window_width, window_height, this);
    window_show(hwnd);
    camera_setup_image(static_cast<int>(size_index));
}

void serial_cam_class::stop()
{
    log_write("Serial Cam [%s - %d] - Stop", name, device);
}

void serial_cam_class::camera_setup_image(int index)
{
    log_write("Serial Cam [%s - %d] - Setup Image", name, device);
    static const int sizes[3][2] = {{160, 120}, {320, 240}, {640, 480}};
    std::lock_guard<std::mutex> hold(lock);
    if (index >= 0 && index < 3) {
        image_width = sizes[index][0];
        image_height = sizes[index][1];
    }
    release_buffers();
    size_t pixels = static_cast<size_t>(image_width) * image_height;
    camera_buffer = static_cast<color_type*>(std::malloc(pixels * sizeof(color_type)));
    if (camera_buffer == nullptr) {
        log_write("Serial Cam [%s - %d] - Unable to create camera buffer", name, device);
        return;
    }
    std::memset(camera_buffer, 0, pixels * sizeof(color_type));  // black until the first image
    compressed_buffer = static_cast<unsigned char*>(std::malloc(pixels * 8));
    if (compressed_buffer == nullptr) {
        log_write("Serial Cam [%s - %d] - Unable to create compressed buffer", name, device);
        return;
    }
    compressed_size = static_cast<int>(pixels * 8);
    picture_buffer = static_cast<unsigned char*>(std::malloc(pixels * 8));
    picture.length = 0;  // the numbers go on counting, so a copy taken before stays older than the next
    transcode_buffer = static_cast<uint32_t*>(std::malloc(pixels * sizeof(uint32_t)));
    if (transcode_buffer == nullptr) {
        log_write("Serial Cam [%s - %d] - Unable to create transcode buffer", name, device);
        return;
    }
    canvas = canvas_create(window_width, window_height, !window_system_headless());
    // A stream in progress belonged to the old buffer.
    received = 0;
    image_bytes = 0;
    window_invalidate(hwnd);
}

void serial_cam_class::release_buffers()
{
    std::free(camera_buffer);
    std::free(compressed_buffer);
    std::free(transcode_buffer);
    std::free(picture_buffer);
    picture_buffer = nullptr;
    if (canvas != nullptr)
        canvas_destroy(canvas);
    camera_buffer = nullptr;
    compressed_buffer = nullptr;
    transcode_buffer = nullptr;
    canvas = nullptr;
    compressed_size = 0;
}

void serial_cam_class::camera_data(const unsigned char* data, int length)
{
    if (!rate_started) {
        last_update = get_time();
        rate_started = true;
    }
    if (data == nullptr || length < 1) {
        log_write("Serial Cam [%s - %d] - Empty message: ignored", name, device);
        return;
    }
    switch (data[0]) {
    case code_size: size_message(data, length); break;
    case code_data: image_data(data, length); break;
    case code_message: camera_message(data, length); break;
    default: break;
    }
}

void serial_cam_class::size_message(const unsigned char* data, int length)
{
    if (length < 3) {
        log_write("Serial Cam [%s - %d] - Size message of %d bytes: ignored", name, device, length);
        return;
    }
    int announced = data[1] * 256 + data[2];
    add_line("Cam size: %d", announced);
    if (dump_packets)
        show_buffer("Cam data", data, length, false);
    std::lock_guard<std::mutex> hold(lock);
    received = 0;
    image_bytes = announced;
    if (announced > compressed_size) {
        log_write("Serial Cam [%s - %d] - Image size %d beyond the buffer of %d bytes: refused", name, device, announced,
            compressed_size);
        image_bytes = 0;
    }
}

void serial_cam_class::image_data(const unsigned char* data, int length)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        if (image_bytes <= 0)
            return;
        int count = length - 1;
        if (count > compressed_size - received) {
            log_write("Serial Cam [%s - %d] - Image data beyond the buffer (%d bytes after %d of %d): refused", name,
                device, count, received, compressed_size);
            return;
        }
        if (dump_packets)
            show_buffer("Cam data", data + 1, count, false);
        std::memcpy(compressed_buffer + received, data + 1, static_cast<size_t>(count));
        received += count;
        if (received < image_bytes)
            return;
        // Watchers get the picture as the camera sent it, not decoded and encoded again.
        camera_picture_type offered;
        offered.source = camera_source::serial;
        offered.jpeg = compressed_buffer;
        offered.length = static_cast<size_t>(image_bytes);
        offered.width = image_width;
        offered.height = image_height;
        offered.time = get_time();
        camera_feed_offer(offered);
        // Decoding under the lock: a paint shows the previous image or this one, never a mixture.
        if (decompress_image(reinterpret_cast<const char*>(compressed_buffer), static_cast<unsigned int>(image_bytes),
                             camera_buffer, static_cast<unsigned int>(image_width),
                             static_cast<unsigned int>(image_height)))
            keep_picture();
    }
    complete_image();
}

void serial_cam_class::complete_image()
{
    updates++;
    if (updates > 1) {
        double now = get_time();
        if (now > last_update)
            frame_rate = updates / (now - last_update);
        updates = 0;
        last_update = now;
    }
    window_invalidate(hwnd);
    add_line("Image Complete");
}

// Called with lock held, after a whole stream decoded: the stream stays in compressed_buffer only until
// the next size message, so the operator link's copy is taken from here.
void serial_cam_class::keep_picture()
{
    int width = 0;
    int height = 0;
    if (picture_buffer == nullptr || image_bytes <= 0 || image_bytes > compressed_size ||
        !jpeg_image_size(reinterpret_cast<const char*>(compressed_buffer), static_cast<unsigned int>(image_bytes),
                         &width, &height))
        return;
    std::memcpy(picture_buffer, compressed_buffer, static_cast<size_t>(image_bytes));
    picture.width = width;
    picture.height = height;
    picture.length = static_cast<unsigned int>(image_bytes);
    picture.number++;
}

void serial_cam_class::image_size(int* width, int* height)
{
    std::lock_guard<std::mutex> hold(lock);
    *width = image_width;
    *height = image_height;
}

bool serial_cam_class::copy_picture(unsigned char* out, unsigned int capacity, unsigned long after,
                                    serial_picture_type* about)
{
    std::lock_guard<std::mutex> hold(lock);
    if (picture_buffer == nullptr || picture.length == 0 || picture.number <= after || picture.length > capacity)
        return false;
    std::memcpy(out, picture_buffer, picture.length);
    *about = picture;
    return true;
}

void serial_cam_class::camera_message(const unsigned char* data, int length)
{
    if (length < 2) {
        log_write("Serial Cam [%s - %d] - Camera message of %d bytes: ignored", name, device, length);
        return;
    }
    add_line("Camera Message: %d", data[1]);
}

long serial_cam_class::cam_proc_wrapper(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    auto* camera = static_cast<serial_cam_class*>(window_user_data(window));
    if (camera == nullptr)
        return window_default_proc(window, message, wparam, lparam);
    return camera->cam_proc(window, message, wparam, lparam);
}

long serial_cam_class::cam_proc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    switch (message) {
    case WM_CREATE:
        hwnd = window;
        return 0;
    case WM_PAINT:
        paint();
        return 0;
    case WM_DESTROY:
    case WM_SIZE:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
    case WM_TIMER:
        return 0;  // keys typed into the camera window are swallowed: they never drive the robot
    default:
        return window_default_proc(window, message, wparam, lparam);
    }
}

void serial_cam_class::paint()
{
    {
        std::lock_guard<std::mutex> hold(lock);
        if (canvas == nullptr || !canvas_draws(canvas) || camera_buffer == nullptr || transcode_buffer == nullptr)
            return;
        size_t pixels = static_cast<size_t>(image_width) * image_height;
        for (size_t i = 0; i < pixels; i++)
            transcode_buffer[i] = canvas_rgb(camera_buffer[i].red, camera_buffer[i].green, camera_buffer[i].blue);
    }
    // Only the window thread paints, and it alone replaces the buffers (at start), so the copy is stable here.
    canvas_stretch_image(canvas, 0, 0, window_width, window_height, transcode_buffer, image_width, image_height);
    window_present(hwnd, canvas, 0, 0);
}

void serial_camera_start(const char* name, unsigned char device, unsigned int size_index, bool dump_packets)
{
    serial_cam_class* made = new serial_cam_class(name, device, size_index);
    made->dump_packets = dump_packets;
    std::lock_guard<std::mutex> hold(program_camera.lock);
    if (program_camera.camera != nullptr) {
        delete made;
        return;
    }
    program_camera.camera = made;
    robot.set_camera_rate(true, made->frame_rate);
}

void serial_camera_stop()
{
    std::lock_guard<std::mutex> hold(program_camera.lock);
    if (program_camera.camera == nullptr)
        return;
    program_camera.camera->stop();
    robot.set_camera_rate(false, 0.0);
    delete program_camera.camera;
    program_camera.camera = nullptr;
}

void serial_camera_data(const unsigned char* data, int length)
{
    std::lock_guard<std::mutex> hold(program_camera.lock);
    if (program_camera.camera == nullptr)
        return;
    program_camera.camera->camera_data(data, length);
    robot.set_camera_rate(true, program_camera.camera->frame_rate);
}

bool serial_camera_size(int* width, int* height)
{
    std::lock_guard<std::mutex> hold(program_camera.lock);
    if (program_camera.camera == nullptr)
        return false;
    program_camera.camera->image_size(width, height);
    return true;
}

bool serial_camera_picture(unsigned char* out, unsigned int capacity, unsigned long after,
                           serial_picture_type* picture)
{
    std::lock_guard<std::mutex> hold(program_camera.lock);
    return program_camera.camera != nullptr && program_camera.camera->copy_picture(out, capacity, after, picture);
}

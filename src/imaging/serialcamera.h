// The serial camera on bus device 8: reassembles its JPEG images from packets, decodes them and shows
// them in the "Serial Camera" window, and keeps the rate of completed images.
#pragma once

#include "imaging/decompress.h"
#include "platform/window.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct canvas_type;


// The camera's last picture that decoded, as the camera sent it.
struct serial_picture_type {
    int width = 0;              // from the JPEG's own frame header
    int height = 0;
    unsigned int length = 0;    // JPEG bytes
    unsigned long number = 0;   // counts the pictures kept, from 1
};

class serial_cam_class {
public:
    serial_cam_class(const char* name, unsigned char device, unsigned int size_index);
    ~serial_cam_class();

    void start();
    void stop();
    void camera_setup_image(int size_index);
    void camera_data(const unsigned char* data, int length);
    static long cam_proc_wrapper(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);
    long cam_proc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam);
    void paint();
    void image_size(int* width, int* height);
    // Copies the last picture into out when its number is above after and it fits capacity bytes.
    bool copy_picture(unsigned char* out, unsigned int capacity, unsigned long after, serial_picture_type* about);

    double frame_rate = 0.0;  // completed images per second
    // Each packet's bytes go to the log as a hex dump (configuration key log_camera_data; on by default).
    // Nearly all of a busy log is these dumps.
    bool dump_packets = true;

    unsigned char device;                     // bus identifier, printed in the log lines
    bool started = false;                     // the first start has run
    std::mutex lock;                          // guards camera_buffer's contents and the buffers' replacement
    int image_width = 160, image_height = 120;// size of the camera's images and of camera_buffer
    int window_width = 640, window_height = 480; // size of the shown picture
    unsigned int size_index;                  // image size selector: 0 160x120, 1 320x240, 2 640x480
    unsigned char* compressed_buffer = nullptr; // the JPEG stream being reassembled
    int compressed_size = 0;                  // capacity of compressed_buffer
    uint32_t* transcode_buffer = nullptr;     // the picture being painted, as canvas pixels (0x00RRGGBB)
    color_type* camera_buffer = nullptr;      // the decoded image, bottom-up rows, colour mirrored
    window_handle hwnd = nullptr;             // the camera's window
    canvas_type* canvas = nullptr;            // off-screen picture, window_width x window_height
    int received = 0;                         // bytes of the current stream in compressed_buffer
    int image_bytes = 0;                      // length of the current stream as announced; 0 disarmed
    char name[128] = {};                      // the camera's name, for its log lines
    int updates = 0;                          // completed images since the last rate computation
    double last_update = 0.0;                 // time of the first message, then of each rate computation
    bool rate_started = false;                // last_update has been set
    unsigned char* picture_buffer = nullptr;  // the last picture that decoded; compressed_size bytes
    serial_picture_type picture;              // what picture_buffer holds; number 0 while it holds nothing

private:
    void size_message(const unsigned char* data, int length);
    void image_data(const unsigned char* data, int length);
    void camera_message(const unsigned char* data, int length);
    void complete_image();
    void keep_picture();
    void release_buffers();
};

constexpr unsigned char serial_camera_device = 8;  // the camera's bus identifier

// The program's one serial camera, made by the shell at start-up and gone at shutdown. The serial port's
// reading thread hands it device-8 payloads; under its lock it finds either the whole camera or none.
void serial_camera_start(const char* name, unsigned char device, unsigned int size_index, bool dump_packets = true);
void serial_camera_stop();
void serial_camera_data(const unsigned char* data, int length);  // skipped without a camera
bool serial_camera_size(int* width, int* height);                // false without a camera
// Copies the camera's last picture, as it sent it, when it is newer than picture number after.
bool serial_camera_picture(unsigned char* out, unsigned int capacity, unsigned long after,
                           serial_picture_type* picture);

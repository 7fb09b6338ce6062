// The camera service: counts and signals the operator's image requests, and holds the capture path that
// compresses a frame and sends it to the operator as an image message.
#pragma once

#include "platform/window.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// An event that lets one waiter through per signal; several signals before a wait wake it once.
class auto_reset_event_class {
public:
    void signal();
    // True when the event was signalled within the time; the event is then non-signalled again.
    bool wait_for(int milliseconds);

private:
    std::mutex lock;                    // guards signalled
    std::condition_variable changed;    // notified by signal
    bool signalled = false;             // a signal is waiting to be taken
};

// Describes a frame to the capture device as a bottom-up 32-bit bitmap.
struct bitmap_info_type {
    uint32_t biSize = 0;           // size of these header fields, 40
    int32_t biWidth = 0;           // frame width in pixels
    int32_t biHeight = 0;          // frame height; positive for rows stored bottom-up
    uint16_t biPlanes = 0;         // 1
    uint16_t biBitCount = 0;       // bits per pixel, 32
    uint32_t biCompression = 0;    // 0: uncompressed
    uint32_t biSizeImage = 0;      // bytes of one frame
    int32_t biXPelsPerMeter = 0;   // not used
    int32_t biYPelsPerMeter = 0;   // not used
    uint32_t biClrUsed = 0;        // no palette
    uint32_t biClrImportant = 0;   // no palette
    uint8_t bmiColors[4] = {};     // the one colour entry, unused at 32 bits
};

class camera_class {
public:
    camera_class();
    ~camera_class();

    void start(window_handle parent);
    void stop();
    void update();
    void request_image();
    void send_image();
    void setup_buffer();
    void setup_camera(window_handle window, bool);
    static unsigned int run_thread(void* self);
    unsigned int camera_thread(void*);

    // The capture side fills these: the capture window, the frame size and the frame.
    window_handle capture_window = nullptr;     // the video capture window; start refuses to run without it
    int width = 0;                              // frame width in pixels
    int height = 0;                             // frame height in pixels
    unsigned char* compressed_buffer = nullptr; // image message: 9-byte header and the JPEG
    unsigned char* transcode_buffer = nullptr;  // scratch for 3-byte pixels; width x height x 4 bytes
    unsigned char* camera_buffer = nullptr;     // the current frame, 4 bytes per pixel
    bitmap_info_type bitmap_info;               // describes camera_buffer to the capture device
    std::thread thread_handle;                  // the camera thread
    std::thread::id thread_id;                  // id of the camera thread
    bool running = false;                       // the camera thread keeps running while true; guarded by lock
    auto_reset_event_class request_event;       // signalled once per image request
    int camera_number = 0;                      // the capture device to use, from config.txt
    int compressed_buffer_size = 0;             // bytes of compressed_buffer: width x height x 8
    int request_count = 0;                      // image requests since the last update
    int request_rate = 0;                       // image requests in the last one-second period
    unsigned int jpeg_size = 0;                 // length of the JPEG last produced by send_image
    std::mutex lock;                            // guards running

private:
    bool buffers_fit_frame() const;
    void release_buffers();
};

extern camera_class camera;

// The capture driver's disconnect message, sent to the capture window when the service stops.
constexpr unsigned int WM_CAP_DRIVER_DISCONNECT = 0x40B;

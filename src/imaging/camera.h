// The camera service: counts the operator's image requests and answers each with an image message of the
// newest frame, sent by its own thread; frames come from a capture or from the serial camera.
#pragma once

#include "imaging/camera_feed.h"
#include "platform/window.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct capture_type;

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

// Describes a frame as a 32-bit bitmap. The frames this service holds are stored top row first, bytes red,
// green, blue, unused, as the compression takes them; the header keeps its bitmap values all the same.
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

// Sends one whole image message to the operator (any thread); true when it was dropped or failed.
using camera_image_sender = std::function<bool(const unsigned char* message, unsigned int length)>;

class camera_class {
public:
    camera_class();
    ~camera_class();

    // Opens the source camera_pipeline names, sizes the buffers to its frames and starts the thread; the
    // program runs on without images when it cannot.
    void start_capture(window_handle parent);
    void start(window_handle parent);
    void stop();
    void update();
    void request_image();
    void send_image();
    void setup_buffer();
    // Where image messages go; set by the shell before the camera starts.
    void set_image_sender(camera_image_sender sender);
    // Shows the capture's description, frame size and frame rate as message lines.
    void setup_camera(window_handle window, bool);
    static unsigned int run_thread(void* self);
    unsigned int camera_thread(void*);

    // What a viewer of the robot's camera subscribes to (camera_feed): the capture's frames when one is
    // configured, else the serial camera's pictures; one camera, not two taking turns.
    camera_want_type shown(double rate) const;
    // A new subscriber may be due a frame: the thread looks at once.
    void feed_changed();

    std::string camera_pipeline;                // from config.txt: empty, "device", "serial" or a description
    capture_type* capture = nullptr;            // the running capture, or null; start refuses without a source
    bool serial_frames = false;                 // the frames are the serial camera's pictures
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

    std::atomic<bool> image_wanted{false};      // a request waits for its image
    // The camera thread compresses frames for subscribers only from a capture: serial pictures pass as received.
    bool watched() const { return !serial_frames && camera_feed_capture_wanted(); }

private:
    // What the camera thread alone keeps between its passes.
    struct thread_state_type {
        bool message_ready = false;         // compressed_buffer holds the image message of the newest frame
        unsigned long message_number = 0;   // counts the frames put into compressed_buffer
        unsigned long watched_number = 0;   // the last of them the watcher had
        unsigned long picture_number = 0;   // the serial camera's last picture taken
        double next_watch = 0.0;            // get_time when the watcher may have its next frame
    };

    bool buffers_fit_frame() const;
    void release_buffers();
    bool encode_frame();
    bool open_source(const std::string& setting);
    bool take_newest(thread_state_type& state, int wait_ms);
    void check_capture();
    void serve(thread_state_type& state);
    void give_subscribers();

    void send_message();

    camera_image_sender image_sender;       // the operator link's send, as the shell wired it
    std::string source_text;                // the description the capture runs, for the "c" key
};

extern camera_class camera;

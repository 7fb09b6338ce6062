// The one road camera pictures take to those who watch them: browsers, Foxglove clients, the recorder and
// the fleet subscribe here, each with the sources it wants and how often. Demand is counted here: the
// camera thread compresses a capture's frames only while a subscriber is due one, and serial pictures are
// handed on as they arrive, to those due one. (The operator link's image requests and the live video have
// roads of their own.)
#pragma once

#include <cstddef>
#include <functional>

enum class camera_source { capture, serial };

// One whole JPEG picture, borrowed for the listener's call.
struct camera_picture_type {
    camera_source source = camera_source::capture;
    const unsigned char* jpeg = nullptr;
    size_t length = 0;
    int width = 0, height = 0;  // 0 when unknown
    double time = 0.0;          // get_time() when it was taken
};

// What a subscriber wants: which sources, and at most how many pictures a second of each (0: every one).
struct camera_want_type {
    bool capture = false;
    bool serial = false;
    double capture_rate = 10.0;
    double serial_rate = 0.0;
};

// Runs on the camera thread (capture) or the serial port's reading thread (serial), under the feed's lock:
// it must only copy and queue, never block and never call back into the feed.
using camera_picture_listener = std::function<void(const camera_picture_type&)>;

// Returns a handle for camera_feed_unsubscribe; once that returns, the listener is never called again.
int camera_feed_subscribe(const camera_want_type& want, camera_picture_listener listener);
void camera_feed_unsubscribe(int handle);

// The camera thread: seconds until a capture frame is due to someone (0 or less: now), or a negative
// number below -1e8 while nobody wants one.
double camera_feed_capture_due(double now);
bool camera_feed_capture_wanted();
// Hands the picture to each subscriber that wants its source and is due one.
void camera_feed_offer(const camera_picture_type& picture);

// The capture service: camera frames from a source description, the newest one handed over on demand in
// the camera service's 32-bit layout. A frame nobody takes is never converted.
#pragma once

#include <string>

struct capture_type;

struct capture_format_type {
    int width = 0;            // frame size the source settled on when it opened
    int height = 0;
    double frame_rate = 0.0;  // frames per second; 0 when the source does not say (variable rate)
};

// Builds the source from its description, starts it and waits up to wait_ms for it to settle on a frame
// size. Null on failure, with the library's own reason in error.
capture_type* capture_open(const char* description, int wait_ms, std::string* error);
// Stops the source and releases everything; null is allowed.
void capture_close(capture_type* capture);

capture_format_type capture_format(const capture_type* capture);
// False while the source is down (failed or ended, waiting for its next restart).
bool capture_running(const capture_type* capture);

// Converts the newest frame not taken before into pixels: width x height pixels of 4 bytes (red, green,
// blue, unused), first row on top, rows directly behind each other; a source of another size is scaled.
// Waits up to wait_ms for such a frame; false when none came (or the source is down).
bool capture_take(capture_type* capture, unsigned char* pixels, int width, int height, int wait_ms);

enum class capture_event {
    none,
    lost,      // the source failed or ended; reason says why. It is rebuilt every 2 seconds from now on.
    restored,  // a rebuilt source delivers again
    warning,   // the library warned; reason holds the text
};

// Reads what the library reported since the last call and restarts a source that is down when its
// back-off has passed. Call it from the thread that takes frames, at least every few hundred ms.
capture_event capture_check(capture_type* capture, std::string* reason);

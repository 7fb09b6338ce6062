// The camera service: counts and signals the operator's image requests, and holds the capture path that
// compresses a frame and sends it to the operator as an image message.
#pragma once

#include "platform/window.h"

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

    int camera_number = 0;  // the capture device to use, from config.txt
    int request_count = 0;  // image requests since the last update
    int request_rate = 0;   // image requests in the last one-second period
};

extern camera_class camera;

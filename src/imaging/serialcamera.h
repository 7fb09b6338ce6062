// The serial camera on bus device 8: reassembles its JPEG images from packets, decodes them and shows
// them in the "Serial Camera" window, and keeps the rate of completed images.
#pragma once

#include "platform/window.h"

#include <cstdint>
#include <mutex>

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

    double frame_rate = 0.0;  // completed images per second
};

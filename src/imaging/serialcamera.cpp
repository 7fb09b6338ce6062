// The serial camera (built with the serial camera).
#include "imaging/serialcamera.h"

serial_cam_class::serial_cam_class(const char*, unsigned char, unsigned int) {}
serial_cam_class::~serial_cam_class() {}
void serial_cam_class::start() {}
void serial_cam_class::stop() {}
void serial_cam_class::camera_setup_image(int) {}
void serial_cam_class::camera_data(const unsigned char*, int) {}
long serial_cam_class::cam_proc_wrapper(window_handle, unsigned int, uintptr_t, intptr_t) { return 0; }
long serial_cam_class::cam_proc(window_handle, unsigned int, uintptr_t, intptr_t) { return 0; }
void serial_cam_class::paint() {}

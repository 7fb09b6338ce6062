// The camera service (built with the camera service).
#include "imaging/camera.h"

camera_class camera;

camera_class::camera_class() {}
camera_class::~camera_class() {}
void camera_class::start(window_handle) {}
void camera_class::stop() {}
void camera_class::update() {}
void camera_class::request_image() {}
void camera_class::send_image() {}
void camera_class::setup_buffer() {}
void camera_class::setup_camera(window_handle, bool) {}

// Live video for builds without GStreamer: there is none, and the browsers show the camera's pictures.
#include "platform/webrtc.h"

bool webrtc_start(capture_type*, const webrtc_settings_type&, webrtc_listener, webrtc_feedback_listener,
                  std::string* error)
{
    *error = "this build has no live video (GStreamer was not found)";
    return false;
}

void webrtc_stop() {}
void webrtc_open(uint64_t) {}
void webrtc_answer(uint64_t, const std::string&) {}
void webrtc_candidate(uint64_t, int, const std::string&) {}
void webrtc_close(uint64_t) {}
void webrtc_encode(const webrtc_encoding_type&) {}

// The capture service for builds without GStreamer: every source fails to open and says why.
#include "platform/capture.h"

capture_type* capture_open(const char*, int, std::string* error)
{
    *error = "this build has no camera capture (GStreamer was not found)";
    return nullptr;
}

void capture_close(capture_type*) {}

capture_format_type capture_format(const capture_type*)
{
    return {};
}

bool capture_running(const capture_type*)
{
    return false;
}

bool capture_take(capture_type*, unsigned char*, int, int, int)
{
    return false;
}

capture_event capture_check(capture_type*, std::string*)
{
    return capture_event::none;
}

// Feeds the serial camera arbitrary device-8 payloads, reassembly and decoding included.
#include "services/log.h"
#include "imaging/serialcamera.h"
#include "platform/window.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static serial_cam_class* camera = [] {
        log_restart("/dev/null");
        window_system_start(true);
        return new serial_cam_class("Fuzz", 8, 0);
    }();
    const unsigned char disarm[3] = {5, 0, 0};  // no image announced: each input starts afresh
    camera->camera_data(disarm, 3);
    // Each payload is a length byte followed by up to that many bytes.
    size_t at = 0;
    while (at < size) {
        size_t length = data[at++];
        if (at + length > size)
            length = size - at;
        camera->camera_data(data + at, static_cast<int>(length));
        at += length;
    }
    if (camera->received < 0 || camera->received > camera->compressed_size)
        __builtin_trap();
    return 0;
}

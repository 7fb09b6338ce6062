// Feeds arbitrary batches of bus bytes to the receive parser, as the reading thread would, and to the
// hunt for the packets' start that follows an open.
#include "services/log.h"
#include "bus/controller.h"
#include "bus/packet_hunt.h"
#include "bus/serial.h"
#include "imaging/serialcamera.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = [] {
        log_restart("/dev/null");
        serial.set_device_handler(device_id, controller_data);
        serial.set_device_handler(serial_camera_device, serial_camera_data);
        serial.set_device_handler(serial_text_device, serial_text_line);
        return true;
    }();
    (void)started;
    // Each batch is a length byte followed by up to that many bus bytes.
    packet_hunt hunt;
    bool hunting = true;
    size_t at = 0;
    while (at < size) {
        size_t batch = data[at++];
        size_t end = at + batch < size ? at + batch : size;
        if (hunting && hunt.add(data + at, static_cast<int>(end - at))) {
            hunting = false;
            if (hunt.aligned().empty() || hunt.aligned()[0] < 4 || hunt.aligned().size() < hunt.aligned()[0])
                __builtin_trap();  // a start found is a whole packet's length byte
        }
        for (; at < end; at++)
            if (serial.process_byte(data[at]) != 0)
                break;
        at = end;
        if (serial.packet_state == 2) {
            serial.check(serial.flush_deadline + 1.0);  // the flush second has passed
        }
    }
    serial.packet_state = 0;
    return 0;
}

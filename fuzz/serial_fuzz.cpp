// Feeds arbitrary batches of bus bytes to the receive parser, as the reading thread would.
#include "app/utility.h"
#include "bus/serial.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = [] {
        log_restart("/dev/null");
        return true;
    }();
    (void)started;
    // Each batch is a length byte followed by up to that many bus bytes.
    size_t at = 0;
    while (at < size) {
        size_t batch = data[at++];
        size_t end = at + batch < size ? at + batch : size;
        for (; at < end; at++)
            if (serial.process_byte(data[at]) != 0)
                break;
        at = end;
        if (serial.packet_state == 2) {
            serial.flush_deadline = 0.0;  // the flush second has passed
            serial.check();
        }
    }
    serial.packet_state = 0;
    return 0;
}

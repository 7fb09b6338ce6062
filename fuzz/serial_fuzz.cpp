// Feeds arbitrary batches of bus bytes to the receive parser, as the reading thread would, and to the
// hunt for the packets' start that follows an open.
#include "services/log.h"
#include "bus/packet_hunt.h"
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
            serial.flush_deadline = 0.0;  // the flush second has passed
            serial.check();
        }
    }
    serial.packet_state = 0;
    return 0;
}

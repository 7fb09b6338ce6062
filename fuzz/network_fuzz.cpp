// Feeds the operator link's parser arbitrary chunks, with the unfinished message carried between them.
#include "net/network.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Each chunk is a length byte followed by up to that many bytes from the client.
    network_parser_type parser;
    size_t at = 0;
    while (at < size) {
        size_t chunk = data[at++];
        size_t end = at + chunk < size ? at + chunk : size;
        unsigned int position = 0;
        unsigned int length = static_cast<unsigned int>(end - at);
        network_request_type request;
        unsigned int messages = 0;
        while (network_parser_next(parser, data + at, length, position, request)) {
            if (request.type != network_control_byte && request.type != network_image_byte)
                __builtin_trap();
            if (++messages > length + 1)
                __builtin_trap();  // every message but a completed one consumes bytes of this chunk
        }
        if (position > length || parser.pending_length >= network_control_length)
            __builtin_trap();
        at = end;
    }
    return 0;
}

// Feeds arbitrary streams to the JPEG decoder, into arrays of each camera image size.
#include "services/log.h"
#include "imaging/decompress.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool started = [] {
        log_restart("/dev/null");
        return true;
    }();
    (void)started;
    if (size < 1)
        return 0;
    static const unsigned int widths[3] = {160, 320, 640};
    static const unsigned int heights[3] = {120, 240, 480};
    unsigned int index = data[0] % 3;
    std::vector<color_type> image(static_cast<size_t>(widths[index]) * heights[index]);
    decompress_image(reinterpret_cast<const char*>(data + 1), static_cast<unsigned int>(size - 1), image.data(),
                     widths[index], heights[index]);
    return 0;
}

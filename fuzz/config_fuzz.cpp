// Feeds arbitrary files to the configuration reader.
#include "app/config.h"
#include "services/log.h"
#include "bus/serial.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static std::string path = [] {
        log_restart("/dev/null");
        return "/tmp/quillon-config-fuzz-" + std::to_string(getpid()) + ".txt";
    }();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    load_config(path.c_str());
    // The port name always stays a terminated string within its field.
    if (std::memchr(serial.port_name, 0, sizeof serial.port_name) == nullptr)
        __builtin_trap();
    return 0;
}

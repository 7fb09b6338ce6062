// Feeds arbitrary files to the configuration reader.
#include "app/config.h"
#include "services/log.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
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
    config_type config;
    load_config(path.c_str(), config);
    // The port name is held to what a serial port's name may be.
    if (config.serial_port.size() > 255 || config.serial_port.find('\0') != std::string::npos)
        __builtin_trap();
    return 0;
}

// The log file, the debug console, hex dumps, byte records and the checksum.
#include "app/utility.h"

#include "app/time.h"
#include "console/display.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex log_lock;           // makes each line whole among threads; guards the fields below
FILE* log_file = nullptr;      // the open log.txt, or null
bool log_init = false;         // the first log call has tried to open the file
bool log_closed = false;       // log_stop has run: later lines are dropped, the file is not reopened
bool start_taken = false;      // start_time holds the zero of this run's timestamps
double start_time = 0.0;
char log_path[4096] = "log.txt"; // where the first line opens the log

constexpr int log_buffer_size = 30000;

void log_open_locked()
{
    log_file = std::fopen(log_path, "w");
    log_init = true;
}

void log_write(const char* text)
{
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_closed)
        return;
    if (!log_init)
        log_open_locked();
    if (log_file == nullptr)
        return;
    double now = get_time();
    if (!start_taken) {
        start_time = now;  // the first line of the run is the zero of every timestamp
        start_taken = true;
    }
    // One fprintf per line, so lines from different threads never interleave.
    std::fprintf(log_file, "[%4.4f] %s\n", now - start_time, text);
    std::fflush(log_file);
}

} // namespace

void log(const char* format, ...)
{
    char text[log_buffer_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_write(text);
}

void log_stop()
{
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = nullptr;
    log_closed = true;
}

void log_restart(const char* filename)
{
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = nullptr;
    log_closed = false;
    log_init = false;
    start_taken = false;
    std::snprintf(log_path, sizeof log_path, "%s", filename);
}

void console(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fputs(text, stderr);
    log("%s", text);
}

void show_buffer(const char* name, const unsigned char* data, int length, bool to_screen)
{
    if (length < 0)
        length = 0;
    size_t size = static_cast<size_t>(length) * 5 + 100;
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr)
        return;
    int used = std::snprintf(text, size, "%s: (%d) ", name, length);
    if (used < 0 || static_cast<size_t>(used) >= size)
        used = static_cast<int>(size) - 1;
    for (int i = 0; i < length && static_cast<size_t>(used) + 3 < size; i++)
        used += std::snprintf(text + used, size - used, "%02x ", data[i]);
    if (to_screen)
        add_line("%s", text);
    else
        log("%s", text);
    std::free(text);
}

void append_byte(unsigned char* buffer, unsigned int& index, unsigned char value)
{
    buffer[index] = value;
    index++;
}

unsigned int get_checksum(const unsigned char* data, unsigned int length)
{
    unsigned int sum = 0;
    for (unsigned int i = 0; i < length; i++)
        sum += data[i];
    return sum & 0xFF;
}

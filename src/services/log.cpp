// The log file: lines in order from every thread, written in batches by a thread of its own, rotated at a
// size limit; and the debug console.
#include "services/log.h"

#include "platform/files.h"
#include "services/taps.h"
#include "services/time.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr int log_buffer_size = 30000;          // characters of one line's text, terminator included
constexpr size_t log_pending_capacity = 1 << 20; // bytes of lines waiting for the writer
constexpr int log_rotation_capacity = 16;       // file changes waiting for the writer
constexpr auto log_flush_period = std::chrono::milliseconds(100);
constexpr long long log_default_size_limit = 32LL * 1024 * 1024;
constexpr long long log_smallest_size_limit = 4096;

// held: lines wait in memory for log_start (the arguments may still refuse the run); direct: each line is
// written and flushed at once; buffered: the writer thread writes the waiting lines; closed: lines dropped.
enum class log_mode_type { held, direct, buffered, closed };

std::mutex log_lock;                   // makes each line whole and keeps their order; guards the fields below
std::condition_variable log_wake;      // to the writer: lines wait, a flush is asked for, or it must stop
std::condition_variable log_written;   // from the writer: a batch is in the file, or there is room again
log_mode_type log_mode = log_mode_type::held;
FILE* log_file = nullptr;              // the open log; the writer's alone while it runs
bool log_opened = false;               // direct mode has tried to open the file
// Two buffers of whole lines, plain arrays so that lines logged by the constructors of other global
// objects are safe whatever the order of construction: appenders fill one while the writer writes the other.
char log_buffer_a[log_pending_capacity];
char log_buffer_b[log_pending_capacity];
char* log_pending = log_buffer_a;      // lines not yet in the file
size_t log_pending_size = 0;
char* log_batch = log_buffer_b;        // the writer's
size_t log_rotations[log_rotation_capacity]; // offsets in log_pending where the file is renamed and begun again
int log_rotation_count = 0;
unsigned long long log_appended = 0;   // bytes of lines taken since the start
unsigned long long log_done = 0;       // bytes of them the writer has handed to the file
long long log_file_bytes = 0;          // bytes of the current file, written or waiting
long long log_size_limit = log_default_size_limit;
bool log_flush_asked = false;
bool log_writer_stop = false;
std::thread log_writer;
bool start_taken = false;              // start_time holds the zero of this run's timestamps
double start_time = 0.0;
char log_path[4096] = "log.txt";       // where the log is written
char log_old_path[4100] = "log.1.txt"; // where a full log goes
bool log_change_owed = false;          // the writer's: a new file could not be opened; the old one goes on

// The start of the file's name in a path.
const char* file_name_of(const char* path)
{
    const char* name = path;
    for (const char* c = path; *c != 0; c++)
        if (file_path_separator(*c))
            name = c + 1;
    return name;
}

// log.txt -> log.1.txt: ".1" before the extension of the file's name.
void set_log_paths(const char* filename)
{
    std::snprintf(log_path, sizeof log_path, "%s", filename);
    const char* name = file_name_of(log_path);
    const char* dot = std::strrchr(name, '.');
    int stem = static_cast<int>((dot != nullptr ? dot : name + std::strlen(name)) - log_path);
    std::snprintf(log_old_path, sizeof log_old_path, "%.*s.1%s", stem, log_path, log_path + stem);
}

const char* old_log_name()
{
    return file_name_of(log_old_path);
}

// A new log file. Binary, so that the bytes counted against the size limit are the bytes in the file:
// the line ends are written as the platform has them (CR LF on Windows), never added behind our back.
FILE* open_log(const char* mode)
{
    return file_open_renamable(log_path, mode);
}

// Renames the full log and begins a new one; the caller writes the notice that starts it. When the
// rename fails (the older file held open elsewhere), the lines go on in the same file: none is lost.
void rotate_file()
{
    // The new file is opened before the old one is closed: with no descriptor free (or the folder full)
    // the old file takes the lines and the change is tried again with the next batch.
    FILE* fresh = open_log(file_replace(log_path, log_old_path) ? "wb" : "ab");
    if (fresh == nullptr) {
        if (log_file != nullptr && !log_change_owed)
            std::fprintf(log_file, "Log - Unable to open %s; the lines go on here\n", log_path);
        log_change_owed = true;
        return;
    }
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = fresh;
    log_change_owed = false;
}

void write_bytes(const char* data, size_t length)
{
    if (log_file != nullptr && length > 0)
        std::fwrite(data, 1, length, log_file);
}

// Writes a batch of whole lines, changing files at the offsets where the size limit was reached.
void write_batch(const char* batch, size_t size, const size_t* cuts, int cut_count)
{
    if (log_change_owed)
        rotate_file();
    size_t from = 0;
    for (int i = 0; i < cut_count; i++) {
        write_bytes(batch + from, cuts[i] - from);
        rotate_file();
        from = cuts[i];
    }
    write_bytes(batch + from, size - from);
    if (log_file != nullptr)
        std::fflush(log_file);
}

void writer_main()
{
    size_t cuts[log_rotation_capacity];
    std::unique_lock<std::mutex> hold(log_lock);
    for (;;) {
        log_wake.wait(hold, [] { return log_writer_stop || log_flush_asked || log_pending_size > 0; });
        // Lines are gathered for a short period, so a burst costs one write, not one per line.
        log_wake.wait_for(hold, log_flush_period, [] {
            return log_writer_stop || log_flush_asked || log_pending_size > log_pending_capacity / 2;
        });
        if (log_writer_stop && log_pending_size == 0)
            break;
        std::swap(log_batch, log_pending);
        size_t size = log_pending_size;
        log_pending_size = 0;
        int cut_count = log_rotation_count;
        std::copy(log_rotations, log_rotations + cut_count, cuts);
        log_rotation_count = 0;
        log_flush_asked = false;
        unsigned long long upto = log_appended;
        log_written.notify_all();  // room again for appenders that waited
        hold.unlock();
        write_batch(log_batch, size, cuts, cut_count);
        hold.lock();
        log_done = upto;
        log_written.notify_all();
    }
}

// The stamp of a line: seconds since the run's first line.
int format_stamp(char* stamp, size_t size)
{
    double now = get_time();
    if (!start_taken) {
        start_time = now;  // the first line of the run is the zero of every timestamp
        start_taken = true;
    }
    return std::snprintf(stamp, size, "[%4.4f] ", now - start_time);
}

bool rotation_due(size_t length)
{
    return log_size_limit > 0 && log_file_bytes > 0 &&
           log_file_bytes + static_cast<long long>(length) > std::max(log_size_limit, log_smallest_size_limit);
}

void append_text(const char* text, size_t length)
{
    std::memcpy(log_pending + log_pending_size, text, length);
    log_pending_size += length;
}

// Adds one line to the waiting lines; a full file first gets its change and the new file's notice.
// The caller has made room (room_for).
void append_locked(const char* stamp, const char* text, size_t text_length)
{
    const char* line_end = file_line_end();
    size_t end_length = std::strlen(line_end);
    size_t stamp_length = std::strlen(stamp);
    size_t length = stamp_length + text_length + end_length;
    bool was_empty = log_pending_size == 0;
    if (rotation_due(length)) {
        log_rotations[log_rotation_count++] = log_pending_size;
        char notice[256];
        int notice_length = std::snprintf(notice, sizeof notice, "%sLog - Continued: the earlier lines are in %s%s",
                                          stamp, old_log_name(), line_end);
        notice_length = std::clamp(notice_length, 0, static_cast<int>(sizeof notice) - 1);
        append_text(notice, static_cast<size_t>(notice_length));
        log_file_bytes = notice_length;
        log_appended += static_cast<unsigned long long>(notice_length);
    }
    append_text(stamp, stamp_length);
    append_text(text, text_length);
    append_text(line_end, end_length);
    log_file_bytes += static_cast<long long>(length);
    log_appended += length;
    if (was_empty && log_mode == log_mode_type::buffered)
        log_wake.notify_one();
}

// Room for a line of the length and, should the file be full, its change and notice.
bool room_for(size_t length)
{
    return log_pending_size + length + 320 <= log_pending_capacity && log_rotation_count < log_rotation_capacity;
}

void write_direct_locked(const char* stamp, const char* text)
{
    if (!log_opened) {
        log_file = open_log("wb");
        log_opened = true;
    }
    append_locked(stamp, text, std::strlen(text));
    write_batch(log_pending, log_pending_size, log_rotations, log_rotation_count);
    log_pending_size = 0;
    log_rotation_count = 0;
}

void append_line(const char* text)
{
    size_t text_length = std::strlen(text);
    size_t length = text_length + 64;
    std::unique_lock<std::mutex> hold(log_lock);
    // A writer behind by a whole buffer is waited for: no line is dropped while the log runs.
    if (log_mode == log_mode_type::buffered && !room_for(length))
        log_written.wait(hold, [&] { return log_mode != log_mode_type::buffered || room_for(length); });
    if (log_mode == log_mode_type::closed || (log_mode == log_mode_type::held && !room_for(length)))
        return;
    char stamp[64];
    format_stamp(stamp, sizeof stamp);
    if (log_mode == log_mode_type::direct)
        write_direct_locked(stamp, text);
    else
        append_locked(stamp, text, text_length);
    hold.unlock();
    tap_publish_text(tap_kind::log_line, text, text_length);
}

// Ends the writer thread after it has written every waiting line.
void stop_writer()
{
    {
        std::lock_guard<std::mutex> hold(log_lock);
        log_writer_stop = true;
        log_wake.notify_one();
    }
    if (log_writer.joinable())
        log_writer.join();
    std::lock_guard<std::mutex> hold(log_lock);
    log_writer_stop = false;
}

// Lines still waiting when the program leaves without log_stop are written, not lost.
struct log_guard_type {
    ~log_guard_type() { log_stop(); }
} log_guard;

} // namespace

void log(const char* format, ...)
{
    char text[log_buffer_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    append_line(text);
}

void log_start(const char* filename)
{
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_mode == log_mode_type::buffered)
        return;
    if (log_mode != log_mode_type::held) {
        // A log begun again (tests do): nothing of the earlier one carries over.
        if (log_file != nullptr)
            std::fclose(log_file);
        log_pending_size = 0;
        log_rotation_count = 0;
        log_file_bytes = 0;
        start_taken = false;
    }
    set_log_paths(filename);
    log_file = open_log("wb");
    try {
        log_writer = std::thread(writer_main);
        log_mode = log_mode_type::buffered;
        if (log_pending_size > 0)
            log_wake.notify_one();
    } catch (const std::system_error&) {
        // No writer: every line is written at once, as it comes.
        log_mode = log_mode_type::direct;
        log_opened = true;
        write_batch(log_pending, log_pending_size, log_rotations, log_rotation_count);
        log_pending_size = 0;
        log_rotation_count = 0;
    }
}

void log_flush()
{
    std::unique_lock<std::mutex> hold(log_lock);
    if (log_mode != log_mode_type::buffered)
        return;
    unsigned long long target = log_appended;
    log_flush_asked = true;
    log_wake.notify_one();
    log_written.wait(hold, [&] { return log_done >= target || log_mode != log_mode_type::buffered; });
}

void log_stop()
{
    stop_writer();
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = nullptr;
    log_change_owed = false;
    log_pending_size = 0;
    log_rotation_count = 0;
    log_mode = log_mode_type::closed;
    log_written.notify_all();
}

void log_restart(const char* filename)
{
    stop_writer();
    std::lock_guard<std::mutex> hold(log_lock);
    if (log_file != nullptr)
        std::fclose(log_file);
    log_file = nullptr;
    log_change_owed = false;
    log_opened = false;
    log_pending_size = 0;
    log_rotation_count = 0;
    log_file_bytes = 0;
    log_size_limit = log_default_size_limit;
    log_mode = log_mode_type::direct;
    start_taken = false;
    set_log_paths(filename);
}

void log_set_size_limit(long long bytes)
{
    std::lock_guard<std::mutex> hold(log_lock);
    log_size_limit = bytes;
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

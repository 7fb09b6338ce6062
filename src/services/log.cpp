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

// Two buffers of whole lines, plain arrays so that lines logged by the constructors of other global
// objects are safe whatever the order of construction: appenders fill one while the writer writes the other.
char log_buffer_a[log_pending_capacity];
char log_buffer_b[log_pending_capacity];

// Makes each line whole and keeps their order; guards log_state. Apart from it, as a mutex is not
// constant-initialised everywhere (mingw's is not).
std::mutex log_lock;

// What the log keeps; plain data, constant-initialised, so usable before any constructor has run.
struct log_state_type {
    log_mode_type mode = log_mode_type::held;
    FILE* file = nullptr;                   // the open log; the writer's alone while it runs
    bool opened = false;                    // direct mode has tried to open the file
    int filling = 0;                        // the buffer of lines not yet in the file; the other is the writer's
    size_t pending_size = 0;
    size_t rotations[log_rotation_capacity] = {};  // offsets in pending where the file is renamed and begun again
    int rotation_count = 0;
    unsigned long long appended = 0;        // bytes of lines taken since the start
    unsigned long long done = 0;            // bytes of them the writer has handed to the file
    long long file_bytes = 0;               // bytes of the current file, written or waiting
    long long size_limit = log_default_size_limit;
    bool flush_asked = false;
    bool writer_stop = false;
    bool start_taken = false;               // start_time holds the zero of this run's timestamps
    double start_time = 0.0;
    char path[4096] = "log.txt";            // where the log is written
    char old_path[4100] = "log.1.txt";      // where a full log goes
    bool change_owed = false;               // the writer's: a new file could not be opened; the old one goes on
};

constinit log_state_type log_state;
char* const log_buffers[2] = {log_buffer_a, log_buffer_b};

char* pending_lines() { return log_buffers[log_state.filling]; }
char* batch_lines() { return log_buffers[1 - log_state.filling]; }

// The writer's side, made when the program starts; not used before log_start.
struct log_writer_type {
    std::condition_variable wake;     // to the writer: lines wait, a flush is asked for, or it must stop
    std::condition_variable written;  // from the writer: a batch is in the file, or there is room again
    std::thread thread;
};

log_writer_type log_writer;

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
    std::snprintf(log_state.path, sizeof log_state.path, "%s", filename);
    const char* name = file_name_of(log_state.path);
    const char* dot = std::strrchr(name, '.');
    int stem = static_cast<int>((dot != nullptr ? dot : name + std::strlen(name)) - log_state.path);
    std::snprintf(log_state.old_path, sizeof log_state.old_path, "%.*s.1%s", stem, log_state.path, log_state.path + stem);
}

const char* old_log_name()
{
    return file_name_of(log_state.old_path);
}

// A new log file. Binary, so that the bytes counted against the size limit are the bytes in the file:
// the line ends are written as the platform has them (CR LF on Windows), never added behind our back.
FILE* open_log(const char* mode)
{
    return file_open_renamable(log_state.path, mode);
}

// Renames the full log and begins a new one; the caller writes the notice that starts it. When the
// rename fails (the older file held open elsewhere), the lines go on in the same file: none is lost.
void rotate_file()
{
    // The new file is opened before the old one is closed: with no descriptor free (or the folder full)
    // the old file takes the lines and the change is tried again with the next batch.
    FILE* fresh = open_log(file_replace(log_state.path, log_state.old_path) ? "wb" : "ab");
    if (fresh == nullptr) {
        if (log_state.file != nullptr && !log_state.change_owed)
            std::fprintf(log_state.file, "Log - Unable to open %s; the lines go on here\n", log_state.path);
        log_state.change_owed = true;
        return;
    }
    if (log_state.file != nullptr)
        std::fclose(log_state.file);
    log_state.file = fresh;
    log_state.change_owed = false;
}

void write_bytes(const char* data, size_t length)
{
    if (log_state.file != nullptr && length > 0)
        std::fwrite(data, 1, length, log_state.file);
}

// Writes a batch of whole lines, changing files at the offsets where the size limit was reached.
void write_batch(const char* batch, size_t size, const size_t* cuts, int cut_count)
{
    if (log_state.change_owed)
        rotate_file();
    size_t from = 0;
    for (int i = 0; i < cut_count; i++) {
        write_bytes(batch + from, cuts[i] - from);
        rotate_file();
        from = cuts[i];
    }
    write_bytes(batch + from, size - from);
    if (log_state.file != nullptr)
        std::fflush(log_state.file);
}

void writer_main()
{
    size_t cuts[log_rotation_capacity];
    std::unique_lock<std::mutex> hold(log_lock);
    for (;;) {
        log_writer.wake.wait(hold, [] { return log_state.writer_stop || log_state.flush_asked || log_state.pending_size > 0; });
        // Lines are gathered for a short period, so a burst costs one write, not one per line.
        log_writer.wake.wait_for(hold, log_flush_period, [] {
            return log_state.writer_stop || log_state.flush_asked || log_state.pending_size > log_pending_capacity / 2;
        });
        if (log_state.writer_stop && log_state.pending_size == 0)
            break;
        log_state.filling = 1 - log_state.filling;
        size_t size = log_state.pending_size;
        log_state.pending_size = 0;
        int cut_count = log_state.rotation_count;
        std::copy(log_state.rotations, log_state.rotations + cut_count, cuts);
        log_state.rotation_count = 0;
        log_state.flush_asked = false;
        unsigned long long upto = log_state.appended;
        log_writer.written.notify_all();  // room again for appenders that waited
        hold.unlock();
        write_batch(batch_lines(), size, cuts, cut_count);
        hold.lock();
        log_state.done = upto;
        log_writer.written.notify_all();
    }
}

// The stamp of a line: seconds since the run's first line.
int format_stamp(char* stamp, size_t size)
{
    double now = get_time();
    if (!log_state.start_taken) {
        log_state.start_time = now;  // the first line of the run is the zero of every timestamp
        log_state.start_taken = true;
    }
    return std::snprintf(stamp, size, "[%4.4f] ", now - log_state.start_time);
}

bool rotation_due(size_t length)
{
    return log_state.size_limit > 0 && log_state.file_bytes > 0 &&
           log_state.file_bytes + static_cast<long long>(length) > std::max(log_state.size_limit, log_smallest_size_limit);
}

void append_text(const char* text, size_t length)
{
    std::memcpy(pending_lines() + log_state.pending_size, text, length);
    log_state.pending_size += length;
}

// Adds one line to the waiting lines; a full file first gets its change and the new file's notice.
// The caller has made room (room_for).
void append_locked(const char* stamp, const char* text, size_t text_length)
{
    const char* line_end = file_line_end();
    size_t end_length = std::strlen(line_end);
    size_t stamp_length = std::strlen(stamp);
    size_t length = stamp_length + text_length + end_length;
    bool was_empty = log_state.pending_size == 0;
    if (rotation_due(length)) {
        log_state.rotations[log_state.rotation_count++] = log_state.pending_size;
        char notice[256];
        int notice_length = std::snprintf(notice, sizeof notice, "%sLog - Continued: the earlier lines are in %s%s",
                                          stamp, old_log_name(), line_end);
        notice_length = std::clamp(notice_length, 0, static_cast<int>(sizeof notice) - 1);
        append_text(notice, static_cast<size_t>(notice_length));
        log_state.file_bytes = notice_length;
        log_state.appended += static_cast<unsigned long long>(notice_length);
    }
    append_text(stamp, stamp_length);
    append_text(text, text_length);
    append_text(line_end, end_length);
    log_state.file_bytes += static_cast<long long>(length);
    log_state.appended += length;
    if (was_empty && log_state.mode == log_mode_type::buffered)
        log_writer.wake.notify_one();
}

// Room for a line of the length and, should the file be full, its change and notice.
bool room_for(size_t length)
{
    return log_state.pending_size + length + 320 <= log_pending_capacity && log_state.rotation_count < log_rotation_capacity;
}

void write_direct_locked(const char* stamp, const char* text)
{
    if (!log_state.opened) {
        log_state.file = open_log("wb");
        log_state.opened = true;
    }
    append_locked(stamp, text, std::strlen(text));
    write_batch(pending_lines(), log_state.pending_size, log_state.rotations, log_state.rotation_count);
    log_state.pending_size = 0;
    log_state.rotation_count = 0;
}

void append_line(const char* text)
{
    size_t text_length = std::strlen(text);
    size_t length = text_length + 64;
    std::unique_lock<std::mutex> hold(log_lock);
    // A writer behind by a whole buffer is waited for: no line is dropped while the log runs.
    if (log_state.mode == log_mode_type::buffered && !room_for(length))
        log_writer.written.wait(hold, [&] { return log_state.mode != log_mode_type::buffered || room_for(length); });
    if (log_state.mode == log_mode_type::closed || (log_state.mode == log_mode_type::held && !room_for(length)))
        return;
    char stamp[64];
    format_stamp(stamp, sizeof stamp);
    if (log_state.mode == log_mode_type::direct)
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
        log_state.writer_stop = true;
        log_writer.wake.notify_one();
    }
    if (log_writer.thread.joinable())
        log_writer.thread.join();
    std::lock_guard<std::mutex> hold(log_lock);
    log_state.writer_stop = false;
}

// Lines still waiting when the program leaves without log_stop are written, not lost.
struct log_guard_type {
    ~log_guard_type() { log_stop(); }
} log_guard;

// With the writer stopped and the lock held: the file closed and nothing left owed.
void close_file()
{
    if (log_state.file != nullptr)
        std::fclose(log_state.file);
    log_state.file = nullptr;
    log_state.change_owed = false;
    log_state.pending_size = 0;
    log_state.rotation_count = 0;
}

} // namespace

void log_write(const char* format, ...)
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
    if (log_state.mode == log_mode_type::buffered)
        return;
    if (log_state.mode != log_mode_type::held) {
        // A log begun again (tests do): nothing of the earlier one carries over.
        if (log_state.file != nullptr)
            std::fclose(log_state.file);
        log_state.pending_size = 0;
        log_state.rotation_count = 0;
        log_state.file_bytes = 0;
        log_state.start_taken = false;
    }
    set_log_paths(filename);
    log_state.file = open_log("wb");
    try {
        log_writer.thread = std::thread(writer_main);
        log_state.mode = log_mode_type::buffered;
        if (log_state.pending_size > 0)
            log_writer.wake.notify_one();
    } catch (const std::system_error&) {
        // No writer: every line is written at once, as it comes.
        log_state.mode = log_mode_type::direct;
        log_state.opened = true;
        write_batch(pending_lines(), log_state.pending_size, log_state.rotations, log_state.rotation_count);
        log_state.pending_size = 0;
        log_state.rotation_count = 0;
    }
}

void log_flush()
{
    std::unique_lock<std::mutex> hold(log_lock);
    if (log_state.mode != log_mode_type::buffered)
        return;
    unsigned long long target = log_state.appended;
    log_state.flush_asked = true;
    log_writer.wake.notify_one();
    log_writer.written.wait(hold, [&] { return log_state.done >= target || log_state.mode != log_mode_type::buffered; });
}

void log_stop()
{
    stop_writer();
    std::lock_guard<std::mutex> hold(log_lock);
    close_file();
    log_state.mode = log_mode_type::closed;
    log_writer.written.notify_all();
}

void log_restart(const char* filename)
{
    stop_writer();
    std::lock_guard<std::mutex> hold(log_lock);
    close_file();
    log_state.opened = false;
    log_state.file_bytes = 0;
    log_state.size_limit = log_default_size_limit;
    log_state.mode = log_mode_type::direct;
    log_state.start_taken = false;
    set_log_paths(filename);
}

void log_set_size_limit(long long bytes)
{
    std::lock_guard<std::mutex> hold(log_lock);
    log_state.size_limit = bytes;
}

void console(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fputs(text, stderr);
    log_write("%s", text);
}

// The flight recorder's thread and queue. Taps copy what they see into a bounded queue under one short
// lock; ten times a second the thread adds a telemetry sample, writes what waits into the open chunk,
// closes the chunk once it is a second old (so a power cut loses at most that second) and starts a new
// file when the current one is old enough.
#include "record/recorder.h"

#include "channels/channels.h"
#include "services/taps.h"
#include "services/threads.h"
#include "services/time.h"
#include "services/log.h"
#include "services/message_lines.h"
#include "imaging/camera.h"
#include "imaging/camera_feed.h"
#include "platform/files.h"
#include "record/mcap_writer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr size_t queue_byte_limit = 16u << 20;  // what may wait for the disk
constexpr size_t queue_item_limit = 50000;
constexpr double tick = 0.1;                    // telemetry period and the thread's wake-up
constexpr uint64_t chunk_span = 1000000000;     // nanoseconds between a chunk's first and last message, at most
constexpr uint64_t tick_ns = 100000000;
constexpr size_t chunk_size_limit = 4u << 20;

struct item_type {
    channel_kind kind = channel_kind::log;
    uint64_t time = 0;        // wall-clock nanoseconds
    std::string bytes;        // log text, packet, JPEG, or the telemetry message itself
    int device = 0;
    bool sent = false;
    const char* source = "";  // camera: "serial" or "capture" (string literals of the producers)
};

struct recorder_state_type {
    recorder_config_type config;          // the keys, as start-up gave them
    std::mutex queue_lock;                // guards everything down to counts
    std::condition_variable queue_wake;   // stop requests
    std::deque<item_type> queue;          // waiting for the thread, oldest first
    size_t queue_bytes = 0;               // bytes held by queue's items
    bool running = false;                 // the thread takes what is queued
    uint64_t last_stamp = 0;              // the newest time given to an item: times never go back
    recorder_counts_type counts;          // figures
    uint64_t reported_camera = 0;         // the thread: drops already logged
    uint64_t reported_other = 0;
    std::mutex open_lock;                 // guards open_name and folder
    std::string open_name;                // the file being written, "" when none
    std::string folder;                   // the recordings' folder while recording, for the console
    std::thread thread;                   // writes the files
    int tap_handle = 0;                   // the taps' handle while recording
    int camera_handle = 0;                // the camera feed's: the capture at record_fps, every serial picture
};

recorder_state_type recorder;

bool is_camera(const item_type& item) { return item.kind == channel_kind::camera; }

// Called with the queue lock held. Room is made by dropping the oldest camera frame; failing that the
// newcomer goes.
bool make_room(const item_type& item)
{
    if (recorder.queue.size() < queue_item_limit && recorder.queue_bytes + item.bytes.size() <= queue_byte_limit)
        return true;
    if (is_camera(item)) {
        recorder.counts.dropped_camera++;
        return false;
    }
    auto camera_item = std::find_if(recorder.queue.begin(), recorder.queue.end(), is_camera);
    if (camera_item == recorder.queue.end()) {
        recorder.counts.dropped_other++;
        return false;
    }
    recorder.queue_bytes -= camera_item->bytes.size();
    recorder.queue.erase(camera_item);
    recorder.counts.dropped_camera++;
    return true;
}

void push(item_type item, double time)
{
    std::lock_guard<std::mutex> hold(recorder.queue_lock);
    if (!recorder.running)
        return;
    if (!make_room(item))
        return;
    item.time = std::max(channels_wall_ns(time), recorder.last_stamp);
    recorder.last_stamp = item.time;
    recorder.queue_bytes += item.bytes.size();
    recorder.queue.push_back(std::move(item));
}

// Runs on the producers' threads: copy and queue only.
void on_tap(const tap_event_type& event)
{
    item_type item;
    if (event.kind == tap_kind::log_line)
        item.kind = channel_kind::log;
    else if (event.kind == tap_kind::bus_sent || event.kind == tap_kind::bus_received)
        item.kind = channel_kind::bus;
    else
        return;
    if (event.kind == tap_kind::log_line &&
        !channels_log_wanted(reinterpret_cast<const char*>(event.data), event.length))
        return;
    item.bytes.assign(reinterpret_cast<const char*>(event.data), event.length);
    item.device = event.device;
    item.sent = event.kind == tap_kind::bus_sent;
    push(std::move(item), event.time);
}

// Runs on the camera's threads, with the picture already paced by the feed: copy and queue only.
void on_picture(const camera_picture_type& picture)
{
    item_type item;
    item.kind = channel_kind::camera;
    item.bytes.assign(reinterpret_cast<const char*>(picture.jpeg), picture.length);
    item.source = picture.source == camera_source::capture ? "capture" : "serial";
    push(std::move(item), picture.time);
}

std::string file_name_now()
{
    using namespace std::chrono;
    auto now = floor<milliseconds>(system_clock::now());
    sys_days day = floor<days>(now);
    year_month_day date{day};
    hh_mm_ss<milliseconds> clock{now - day};
    char name[64];
    std::snprintf(name, sizeof name, "quillon-%04d%02u%02u-%02d%02d%02d-%03d.mcap", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return name;
}

std::string folder_path(const std::string& name) { return recorder.config.folder + "/" + name; }

} // namespace

namespace {

// The file being written.
struct file_state_type {
    std::FILE* file = nullptr;
    std::unique_ptr<mcap_writer_class> writer;
    uint16_t channel_ids[channel_count] = {};
    std::string name;
    double started = 0.0;        // get_time() when it was begun
    bool chunk_open = false;     // the open chunk holds a message
    uint64_t chunk_first = 0;    // the time of its first message
    uint64_t chunk_bytes = 0;    // the size of the last chunk written
    bool rotate = false;         // the file alone would pass the folder's limit: finish it now
    int error = 0;               // errno of the first failed write
};

void set_open_name(const std::string& name)
{
    std::lock_guard<std::mutex> hold(recorder.open_lock);
    recorder.open_name = name;
}

bool file_begin(file_state_type& state, double now)
{
    state.name = file_name_now();
    state.file = std::fopen(folder_path(state.name).c_str(), "wb");
    if (state.file == nullptr) {
        state.error = errno;
        return false;
    }
    std::setvbuf(state.file, nullptr, _IOFBF, 1 << 18);
    state.writer = std::make_unique<mcap_writer_class>([&state](const unsigned char* data, size_t length) {
        if (std::fwrite(data, 1, length, state.file) == length)
            return true;
        state.error = errno;
        return false;
    });
    state.writer->open("quillon");
    for (int i = 0; i < channel_count; i++) {
        const channel_info_type& info = channels_info(static_cast<channel_kind>(i));
        uint16_t schema = state.writer->add_schema(info.schema_name, "jsonschema", info.schema);
        state.channel_ids[i] = state.writer->add_channel(schema, info.topic, "json");
    }
    state.started = now;
    state.chunk_open = false;
    state.rotate = false;
    set_open_name(state.name);
    std::lock_guard<std::mutex> hold(recorder.queue_lock);
    recorder.counts.files++;
    return !state.writer->failed();
}

std::string message_json(const item_type& item)
{
    const unsigned char* data = reinterpret_cast<const unsigned char*>(item.bytes.data());
    switch (item.kind) {
    case channel_kind::log:
        return channels_log_json(item.bytes.data(), item.bytes.size(), item.time);
    case channel_kind::bus:
        return channels_bus_json(item.sent, item.device, data, item.bytes.size(), item.time);
    case channel_kind::camera:
        return channels_camera_json(item.source, data, item.bytes.size(), item.time);
    default:
        return item.bytes;  // telemetry is queued as its message
    }
}

bool file_write(file_state_type& state, const item_type& item)
{
    std::string json = message_json(item);
    if (!state.chunk_open) {
        state.chunk_open = true;
        state.chunk_first = item.time;
    }
    return state.writer->add_message(state.channel_ids[static_cast<int>(item.kind)], item.time,
                                     reinterpret_cast<const unsigned char*>(json.data()), json.size());
}

// The chunk goes to the disk whole: what a power cut can take is only what follows it.
bool file_close_chunk(file_state_type& state)
{
    state.chunk_open = false;
    uint64_t before = state.writer->size();
    if (!state.writer->close_chunk())
        return false;
    state.chunk_bytes = state.writer->size() - before;
    if (file_sync(state.file))
        return true;
    state.error = errno;
    return false;
}

bool file_finish(file_state_type& state)
{
    bool written = state.writer->finish() && file_sync(state.file);
    if (!written && state.error == 0)
        state.error = errno;
    bool closed = std::fclose(state.file) == 0;
    state.file = nullptr;
    std::lock_guard<std::mutex> hold(recorder.queue_lock);
    recorder.counts.bytes += state.writer->size();
    recorder.counts.messages += state.writer->message_count();
    return written && closed;
}

// Deletes the oldest recordings while the folder's recordings, the open one counted, pass the limit; never
// the open one. True when the open one alone, with another chunk like the last, would pass it.
bool enforce_limit(const std::string& open, uint64_t next_chunk)
{
    std::vector<recording_type> recordings = recorder_list();
    double total = 0.0, open_size = 0.0;
    for (auto& recording : recordings) {
        total += static_cast<double>(recording.size);
        if (recording.name == open)
            open_size = static_cast<double>(recording.size);
    }
    double limit = recorder.config.limit_mb * 1024.0 * 1024.0;
    for (auto& recording : recordings) {
        if (total <= limit || recording.name == open)
            break;
        if (std::remove(folder_path(recording.name).c_str()) != 0) {
            log_write("Recorder - Unable to delete %s: %s", recording.name.c_str(), std::strerror(errno));
            break;
        }
        log_write("Recorder - Deleted %s: the recordings passed %g MB", recording.name.c_str(), recorder.config.limit_mb);
        total -= static_cast<double>(recording.size);
    }
    return open_size + static_cast<double>(next_chunk) > limit;
}

} // namespace

namespace {

void queue_telemetry(double now)
{
    item_type item;
    item.kind = channel_kind::telemetry;
    // Gathered here, stamped with the time it was read; built into its message below, once stamped.
    robot_snapshot_type telemetry = robot_snapshot();
    std::lock_guard<std::mutex> hold(recorder.queue_lock);
    if (!recorder.running || !make_room(item))
        return;
    item.time = std::max(channels_wall_ns(now), recorder.last_stamp);
    recorder.last_stamp = item.time;
    item.bytes = channels_telemetry_json(telemetry, item.time);
    recorder.queue_bytes += item.bytes.size();
    recorder.queue.push_back(std::move(item));
}

// Waits for the next tick (or a stop) and takes what waits. False once the recorder is asked to stop.
bool take_batch(std::deque<item_type>& batch, double until)
{
    std::unique_lock<std::mutex> hold(recorder.queue_lock);
    double wait = std::max(0.0, until - get_time());
    recorder.queue_wake.wait_for(hold, std::chrono::duration<double>(wait), [] { return !recorder.running; });
    batch.swap(recorder.queue);
    recorder.queue_bytes = 0;
    return recorder.running;
}

void report_drops()
{
    recorder_counts_type now = recorder_counts();
    if (now.dropped_camera == recorder.reported_camera && now.dropped_other == recorder.reported_other)
        return;
    recorder.reported_camera = now.dropped_camera;
    recorder.reported_other = now.dropped_other;
    log_write("Recorder - The disk fell behind: %llu camera frames and %llu other messages dropped so far",
        static_cast<unsigned long long>(recorder.reported_camera), static_cast<unsigned long long>(recorder.reported_other));
}

// Closes the open chunk; the folder's limit is kept, and a file that alone would pass it is finished early.
bool chunk_end(file_state_type& state)
{
    if (!file_close_chunk(state))
        return false;
    if (enforce_limit(state.name, state.chunk_bytes) && !state.rotate) {
        state.rotate = true;
        log_write("Recorder - %s nears the %g MB limit alone: a new file begins", state.name.c_str(),
            recorder.config.limit_mb);
    }
    report_drops();
    return true;
}

// A message at this time would stretch the open chunk past its span.
bool chunk_due(const file_state_type& state, uint64_t time)
{
    return state.chunk_open && time - std::min(time, state.chunk_first) >= chunk_span;
}

// One turn: write the batch, closing a chunk before it would span more than a second, and when the next
// turn's messages would make it so; start a new file when due.
bool record_batch(file_state_type& state, const std::deque<item_type>& batch, double now)
{
    if (state.file == nullptr && !file_begin(state, now))
        return false;
    for (const item_type& item : batch) {
        if (chunk_due(state, item.time) && !chunk_end(state))
            return false;
        if (!file_write(state, item))
            return false;
    }
    bool full = state.writer->chunk_size() > chunk_size_limit;
    if ((chunk_due(state, channels_wall_ns(now) + tick_ns) || full) && !chunk_end(state))
        return false;
    if (state.rotate || now - state.started >= recorder.config.minutes * 60.0) {
        if (!file_finish(state))
            return false;
        set_open_name("");
    }
    return true;
}

void stop_taking()
{
    std::lock_guard<std::mutex> hold(recorder.queue_lock);
    recorder.running = false;
    recorder.queue.clear();
    recorder.queue_bytes = 0;
}

void recorder_body()
{
    file_state_type state;
    std::deque<item_type> batch;
    double next_tick = get_time();
    bool going = true;
    bool healthy = true;
    while (going && healthy) {
        queue_telemetry(get_time());
        next_tick += tick;
        going = take_batch(batch, next_tick);
        double now = get_time();
        if (next_tick < now - tick)
            next_tick = now;  // a late turn is not made up
        healthy = record_batch(state, batch, now);
        batch.clear();
    }
    if (healthy && state.file != nullptr)
        healthy = file_finish(state);
    else if (state.file != nullptr)
        file_finish(state);
    set_open_name("");
    if (!healthy) {
        stop_taking();
        add_line("Recorder - Unable to write %s (%s): recording stopped", folder_path(state.name).c_str(),
                 std::strerror(state.error != 0 ? state.error : EIO));
    }
}

} // namespace

void recorder_start(const recorder_config_type& config)
{
    if (config.folder.empty())
        return;
    recorder.config = config;
    if (!folder_create(recorder.config.folder.c_str())) {
        add_line("Recorder - Unable to create folder %s: not recording", recorder.config.folder.c_str());
        return;
    }
    {
        std::lock_guard<std::mutex> hold(recorder.queue_lock);
        recorder.running = true;
    }
    {
        std::lock_guard<std::mutex> hold(recorder.open_lock);
        recorder.folder = config.folder;
    }
    recorder.tap_handle = tap_add(on_tap);
    camera_want_type want;
    want.capture = want.serial = true;
    want.capture_rate = recorder.config.fps;
    want.serial_rate = 0.0;
    recorder.camera_handle = camera_feed_subscribe(want, on_picture);
    camera.feed_changed();
    if (!thread_start(recorder.thread, "Recorder", recorder_body)) {
        recorder_stop();
        return;
    }
    log_write("Recorder - Recording into %s: a new file every %g minutes, at most %g MB", recorder.config.folder.c_str(),
        recorder.config.minutes, recorder.config.limit_mb);
}

void recorder_stop()
{
    if (recorder.tap_handle == 0)
        return;
    {
        std::lock_guard<std::mutex> hold(recorder.queue_lock);
        recorder.running = false;
    }
    recorder.queue_wake.notify_all();
    if (recorder.thread.joinable())
        recorder.thread.join();
    tap_remove(recorder.tap_handle);
    recorder.tap_handle = 0;
    camera_feed_unsubscribe(recorder.camera_handle);
    recorder.camera_handle = 0;
    stop_taking();
}

bool recorder_name_valid(const std::string& name)
{
    const char* pattern = "quillon-99999999-999999-999.mcap";
    if (name.size() != std::strlen(pattern))
        return false;
    for (size_t i = 0; i < name.size(); i++)
        if (pattern[i] == '9' ? !(name[i] >= '0' && name[i] <= '9') : name[i] != pattern[i])
            return false;
    return true;
}

std::string recorder_folder()
{
    std::lock_guard<std::mutex> hold(recorder.open_lock);
    return recorder.folder;
}

std::vector<recording_type> recorder_list()
{
    std::vector<recording_type> recordings;
    std::string open, folder;
    {
        std::lock_guard<std::mutex> hold(recorder.open_lock);
        open = recorder.open_name;
        folder = recorder.folder;
    }
    if (folder.empty())
        return recordings;
    for (folder_entry_type& entry : folder_files(folder.c_str()))
        if (recorder_name_valid(entry.name))
            recordings.push_back({entry.name, entry.size, entry.modified_ms, entry.name == open});
    std::sort(recordings.begin(), recordings.end(),
              [](const recording_type& a, const recording_type& b) { return a.name < b.name; });
    return recordings;
}

recorder_counts_type recorder_counts()
{
    std::lock_guard<std::mutex> hold(recorder.queue_lock);
    return recorder.counts;
}

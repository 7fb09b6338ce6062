// The flight recorder: what the live connection shows (telemetry, camera, log, bus) kept in MCAP files in
// one folder, a new file every few minutes, the oldest deleted past a size limit. A thread of its own
// writes; producers only queue, and camera frames are the first to go when the disk falls behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct recorder_config_type {
    std::string folder;        // record_folder: empty leaves the recorder off
    double minutes = 10.0;     // record_minutes: a new file after this long
    double limit_mb = 1024.0;  // record_limit_mb: oldest files go once the folder's recordings pass it
    double fps = 5.0;          // record_fps: the capture's pictures a second (the serial camera: all)
};

// Starts recording when a folder is configured; says why on a message line when it cannot.
void recorder_start(const recorder_config_type& config);
// Finishes the open file (summary and all) and ends the thread.
void recorder_stop();

// A recording as the console lists it.
struct recording_type {
    std::string name;          // file name inside the folder
    uint64_t size = 0;         // bytes
    int64_t modified_ms = 0;   // last write, milliseconds since 1970
    bool open = false;         // being written now
};
// The folder being recorded into, "" when none; safe from any thread.
std::string recorder_folder();
// The folder's recordings, oldest first; safe from any thread.
std::vector<recording_type> recorder_list();
// True for a name the recorder gives its files ("quillon-20261208-181500-123.mcap").
bool recorder_name_valid(const std::string& name);

// Figures for the benchmark and the log.
struct recorder_counts_type {
    uint64_t messages = 0;        // messages written
    uint64_t bytes = 0;           // bytes written, all files
    uint64_t dropped_camera = 0;  // camera frames dropped because the queue was full
    uint64_t dropped_other = 0;   // other messages dropped (only when no camera frame was left to drop)
    uint64_t files = 0;           // files begun
};
recorder_counts_type recorder_counts();

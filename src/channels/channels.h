// The channels that Quillon shows to the tools robot developers use (the Foxglove connection, the flight
// recorder): each one's topic, schema name and JSON Schema, and the JSON message it carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "robot/snapshot.h"

enum class channel_kind { telemetry, camera, log, bus };
constexpr int channel_count = 4;

struct channel_info_type {
    channel_kind kind;
    const char* topic;        // "/quillon/telemetry"...
    const char* schema_name;  // "quillon.Telemetry", "foxglove.CompressedImage"...
    const char* schema;       // JSON Schema text (schema encoding "jsonschema"); messages are "json"
};

// In channel_kind order.
const channel_info_type& channels_info(channel_kind kind);
const channel_info_type* channels_find(const char* topic);  // nullptr for a topic that is not ours

// Wall-clock nanoseconds since 1970 for a get_time() value (the tools show wall-clock times).
uint64_t channels_wall_ns(double time);

// The JSON message of each channel; time is wall-clock nanoseconds.
// The telemetry message tells the robot's one snapshot, as the console and the fleet see it.
std::string channels_telemetry_json(const robot_snapshot_type& telemetry, uint64_t time);
std::string channels_log_json(const char* text, size_t length, uint64_t time);
std::string channels_bus_json(bool sent, int device, const unsigned char* data, size_t length, uint64_t time);
// source is the frame id ("serial" or "capture"); the picture goes as base64, as JSON carries bytes.
std::string channels_camera_json(const char* source, const unsigned char* jpeg, size_t length, uint64_t time);

// False for the serial camera's packet dumps: the bus channel carries those bytes, the log channel not.
bool channels_log_wanted(const char* text, size_t length);
// foxglove.Log's levels: 2 info, 3 warning, 4 error, told from the line's words.
int channels_log_level(const char* text, size_t length);
// Appends the text as a JSON string, quotes included; bytes that are not valid UTF-8 become U+FFFD.
void channels_append_json_string(std::string& out, const char* text, size_t length);
void channels_append_base64(std::string& out, const unsigned char* data, size_t length);
// Appends a number with so many significant digits; a value that is not finite goes as 0.
void channels_append_number(std::string& out, double value, int digits = 9);
// Appends ,"name":{"target":T,"speed":S,"reverse":R}, a motor side as the state messages carry it.
void channels_append_side(std::string& out, const char* name, double target, double speed, bool reverse,
                          int digits = 9);

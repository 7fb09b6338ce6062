// The channels' schemas and messages, written by hand: plain JSON text, the same on every platform.
#include "channels/channels.h"

#include "services/time.h"
#include "robot/snapshot.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

#define TIME_SCHEMA                                                                                      \
    "\"timestamp\":{\"type\":\"object\",\"title\":\"time\",\"properties\":{\"sec\":{\"type\":\"integer\","    \
    "\"minimum\":0},\"nsec\":{\"type\":\"integer\",\"minimum\":0,\"maximum\":999999999}}}"
#define SIDE_SCHEMA                                                                                      \
    "{\"type\":\"object\",\"properties\":{\"target\":{\"type\":\"number\",\"description\":\"target speed, "  \
    "0 to 240\"},\"speed\":{\"type\":\"number\",\"description\":\"applied speed, 0 to 240\"},"             \
    "\"reverse\":{\"type\":\"boolean\"}}}"

const char* telemetry_schema =
    "{\"title\":\"quillon.Telemetry\",\"description\":\"The robot's state ten times a second\","
    "\"type\":\"object\",\"properties\":{" TIME_SCHEMA ","
    "\"analog\":{\"type\":\"array\",\"items\":{\"type\":\"number\"},\"minItems\":8,\"maxItems\":8,"
    "\"description\":\"the eight analog values, fractions of full scale\"},"
    "\"left\":" SIDE_SCHEMA ",\"right\":" SIDE_SCHEMA ","
    "\"serial_rate\":{\"type\":\"number\",\"description\":\"controller packets a second\"},"
    "\"has_camera\":{\"type\":\"boolean\",\"description\":\"a serial camera is configured\"},"
    "\"camera_rate\":{\"type\":\"number\",\"description\":\"serial camera pictures a second, 0 without one\"},"
    "\"remote\":{\"type\":\"boolean\"},\"auto\":{\"type\":\"boolean\"},"
    "\"driver\":{\"type\":\"string\",\"description\":\"who drives\"}}}";

const char* camera_schema =
    "{\"title\":\"foxglove.CompressedImage\",\"description\":\"A camera picture as JPEG\","
    "\"type\":\"object\",\"properties\":{" TIME_SCHEMA ","
    "\"frame_id\":{\"type\":\"string\"},"
    "\"data\":{\"type\":\"string\",\"contentEncoding\":\"base64\"},"
    "\"format\":{\"type\":\"string\"}}}";

const char* log_schema =
    "{\"title\":\"foxglove.Log\",\"description\":\"One line of log.txt\","
    "\"type\":\"object\",\"properties\":{" TIME_SCHEMA ","
    "\"level\":{\"type\":\"integer\",\"enum\":[0,1,2,3,4,5],\"description\":\"0 unknown, 1 debug, 2 info, "
    "3 warning, 4 error, 5 fatal\"},"
    "\"message\":{\"type\":\"string\"},\"name\":{\"type\":\"string\"},"
    "\"file\":{\"type\":\"string\"},\"line\":{\"type\":\"integer\",\"minimum\":0}}}";

const char* bus_schema =
    "{\"title\":\"quillon.BusPacket\",\"description\":\"One whole packet on the serial bus\","
    "\"type\":\"object\",\"properties\":{" TIME_SCHEMA ","
    "\"direction\":{\"type\":\"string\",\"enum\":[\"sent\",\"received\"]},"
    "\"device\":{\"type\":\"integer\"},\"length\":{\"type\":\"integer\"},"
    "\"hex\":{\"type\":\"string\",\"description\":\"the packet's bytes as hex, space-separated\"}}}";

const channel_info_type infos[channel_count] = {
    {channel_kind::telemetry, "/quillon/telemetry", "quillon.Telemetry", telemetry_schema},
    {channel_kind::camera, "/quillon/camera", "foxglove.CompressedImage", camera_schema},
    {channel_kind::log, "/quillon/log", "foxglove.Log", log_schema},
    {channel_kind::bus, "/quillon/bus", "quillon.BusPacket", bus_schema},
};

size_t utf8_sequence(const char* text, size_t size, size_t i)
{
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (length == 0 || i + length > size)
        return 0;
    for (size_t k = 1; k < length; k++)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
            return 0;
    unsigned char second = static_cast<unsigned char>(text[i + 1]);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second > 0x8F))
        return 0;  // overlong forms, surrogates, beyond U+10FFFF
    return length;
}

// {"timestamp":{"sec":S,"nsec":N}
void open_with_time(std::string& out, uint64_t time)
{
    out += "{\"timestamp\":{\"sec\":";
    out += std::to_string(time / 1000000000u);
    out += ",\"nsec\":";
    out += std::to_string(time % 1000000000u);
    out += '}';
}

bool contains_word(const char* text, size_t length, const char* word)
{
    size_t size = std::strlen(word);
    for (size_t i = 0; i + size <= length; i++) {
        size_t k = 0;
        while (k < size && std::tolower(static_cast<unsigned char>(text[i + k])) == word[k])
            k++;
        if (k == size)
            return true;
    }
    return false;
}

} // namespace

const channel_info_type& channels_info(channel_kind kind)
{
    return infos[static_cast<int>(kind)];
}

const channel_info_type* channels_find(const char* topic)
{
    for (const channel_info_type& info : infos)
        if (std::strcmp(info.topic, topic) == 0)
            return &info;
    return nullptr;
}

uint64_t channels_wall_ns(double time)
{
    // The offset between the two clocks, taken once: later wall-clock steps do not reorder messages.
    static const double offset =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - get_time();
    double wall = time + offset;
    return wall <= 0.0 ? 0 : static_cast<uint64_t>(wall * 1e9);
}

std::string channels_telemetry_json(const robot_snapshot_type& telemetry, uint64_t time)
{
    std::string out;
    out.reserve(400);
    open_with_time(out, time);
    out += ",\"analog\":[";
    for (int i = 0; i < 8; i++) {
        if (i > 0)
            out += ',';
        channels_append_number(out, telemetry.analog[i]);
    }
    out += ']';
    channels_append_side(out, "left", telemetry.left_target, telemetry.left_speed, telemetry.left_reverse);
    channels_append_side(out, "right", telemetry.right_target, telemetry.right_speed, telemetry.right_reverse);
    out += ",\"serial_rate\":";
    channels_append_number(out, telemetry.serial_rate);
    out += telemetry.has_camera ? ",\"has_camera\":true,\"camera_rate\":" : ",\"has_camera\":false,\"camera_rate\":";
    channels_append_number(out, telemetry.has_camera ? telemetry.camera_rate : 0.0);
    out += telemetry.remote ? ",\"remote\":true" : ",\"remote\":false";
    out += telemetry.auto_mode ? ",\"auto\":true" : ",\"auto\":false";
    out += ",\"driver\":";
    const char* driver = driver_name(telemetry.driver);
    channels_append_json_string(out, driver, std::strlen(driver));
    out += '}';
    return out;
}

int channels_log_level(const char* text, size_t length)
{
    static const char* const errors[] = {"error", "fail", "unable", "cannot", "refused"};
    static const char* const warnings[] = {"warning", "lost", "time-out", "timeout", "dropp", "bad ", "too "};
    for (const char* word : errors)
        if (contains_word(text, length, word))
            return 4;
    for (const char* word : warnings)
        if (contains_word(text, length, word))
            return 3;
    return 2;
}

bool channels_log_wanted(const char* text, size_t length)
{
    static const char dump[] = "Cam data: (";
    return length < sizeof dump - 1 || std::memcmp(text, dump, sizeof dump - 1) != 0;
}

std::string channels_log_json(const char* text, size_t length, uint64_t time)
{
    std::string out;
    out.reserve(length + 120);
    open_with_time(out, time);
    out += ",\"level\":";
    out += std::to_string(channels_log_level(text, length));
    out += ",\"message\":";
    channels_append_json_string(out, text, length);
    out += ",\"name\":\"quillon\",\"file\":\"log.txt\",\"line\":0}";
    return out;
}

std::string channels_bus_json(bool sent, int device, const unsigned char* data, size_t length, uint64_t time)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3 + 120);
    open_with_time(out, time);
    out += sent ? ",\"direction\":\"sent\",\"device\":" : ",\"direction\":\"received\",\"device\":";
    out += std::to_string(device);
    out += ",\"length\":";
    out += std::to_string(length);
    out += ",\"hex\":\"";
    for (size_t i = 0; i < length; i++) {
        if (i > 0)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    out += "\"}";
    return out;
}

std::string channels_camera_json(const char* source, const unsigned char* jpeg, size_t length, uint64_t time)
{
    std::string out;
    out.reserve(length * 4 / 3 + 160);
    open_with_time(out, time);
    out += ",\"frame_id\":";
    channels_append_json_string(out, source, std::strlen(source));
    out += ",\"format\":\"jpeg\",\"data\":\"";
    channels_append_base64(out, jpeg, length);
    out += "\"}";
    return out;
}

void channels_append_json_string(std::string& out, const char* text, size_t length)
{
    out += '"';
    for (size_t i = 0; i < length;) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            size_t size = utf8_sequence(text, length, i);
            if (size == 0) {
                out += "\xEF\xBF\xBD";
                i++;
            } else {
                out.append(text + i, size);
                i += size;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        i++;
    }
    out += '"';
}

void channels_append_base64(std::string& out, const unsigned char* data, size_t length)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
        char four[4] = {alphabet[v >> 18], alphabet[(v >> 12) & 63], alphabet[(v >> 6) & 63], alphabet[v & 63]};
        out.append(four, 4);
    }
    if (i < length) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < length)
            v |= uint32_t(data[i + 1]) << 8;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < length ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
}

void channels_append_number(std::string& out, double value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*g", digits, std::isfinite(value) ? value : 0.0);
    out += text;
}

void channels_append_side(std::string& out, const char* name, double target, double speed, bool reverse, int digits)
{
    out += ",\"";
    out += name;
    out += "\":{\"target\":";
    channels_append_number(out, target, digits);
    out += ",\"speed\":";
    channels_append_number(out, speed, digits);
    out += reverse ? ",\"reverse\":true}" : ",\"reverse\":false}";
}

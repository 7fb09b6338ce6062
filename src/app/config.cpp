// The configuration reader: config.txt is read once at start-up, line by line; each line is a key and a
// value, and a "#" starts a comment that runs to the end of its line.
#include "app/config.h"

#include "bus/controller.h"
#include "bus/serial.h"
#include "services/message_lines.h"
#include "fleet/fleet_config.h"
#include "services/log.h"
#include "services/utility.h"
#include "imaging/camera.h"
#include "imaging/serialcamera.h"
#include "net/network.h"
#include "record/recorder.h"
#include "web/web_server.h"
#include "net/network.h"
#include "web/web_video.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned int line_limit = config_token_limit;  // characters in a line, and in a token
constexpr size_t port_name_limit = 255;  // what the serial port takes

// Reads one line into line (at least line_limit + 1 bytes); false once the file has ended with nothing read.
bool read_config_line(FILE* file, char* line)
{
    unsigned int used = 0;
    bool in_comment = false;
    bool read_any = false;
    int c;
    while (used < line_limit && (c = std::fgetc(file)) != EOF) {
        read_any = true;
        if (c == '\n' || c == '\r')
            break;  // a comment's line end ends the line too
        if (c == '#')
            in_comment = true;
        if (!in_comment)
            line[used++] = static_cast<char>(c);
    }
    line[used] = 0;
    return read_any;
}

void set_port_name(const char* value, config_type& config)
{
    if (std::strlen(value) > port_name_limit) {
        add_line("load_config: serial_port name longer than %zu characters refused", port_name_limit);
        return;
    }
    config.serial_port = value;
}

// The standard decimal conversion, kept inside the range of an int.
int decimal_value(const char* text)
{
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// log_size_limit: megabytes, a fraction allowed, 0 for no limit (the whole run in one file); anything
// else is refused.
void set_log_size_limit(const char* value)
{
    char* end = nullptr;
    double megabytes = std::strtod(value, &end);
    if (end == value || *end != 0 || !std::isfinite(megabytes) || megabytes < 0 || megabytes > 1e6) {
        add_line("load_config: log_size_limit '%s' refused: a number of megabytes, 0 for no limit", value);
        return;
    }
    log_set_size_limit(static_cast<long long>(megabytes * 1024 * 1024));
}

// The keys that shape the log; false when the key is none of them.
bool parse_log_key(const char* key, const char* line, unsigned int& position, config_type& config)
{
    char value[line_limit + 1];
    if (std::strcmp(key, "log_size_limit") == 0) {
        get_next_string(line, position, value);
        if (value[0] != 0)
            set_log_size_limit(value);
        return true;
    }
    if (std::strcmp(key, "log_camera_data") == 0) {
        get_next_string(line, position, value);
        // Only 0 and 1: a word such as "yes" would otherwise read as 0 and silently turn the dump off.
        if (std::strcmp(value, "0") == 0 || std::strcmp(value, "1") == 0)
            config.log_camera_data = value[0] == '1';
        else if (value[0] != 0)
            add_line("load_config: log_camera_data '%s' refused: 0 or 1", value);
        return true;
    }
    return false;
}

// listen_address: the one local address of the operator link; checked when the link starts.
bool parse_network_key(const char* key, const char* line, unsigned int& position, config_type& config)
{
    if (std::strcmp(key, "listen_address") != 0)
        return false;
    char value[line_limit + 1];
    get_next_string(line, position, value);
    // A dotted IPv4 address is at most 15 characters: a longer value stays invalid when cut to fit.
    config.listen_address.assign(value, std::min<size_t>(std::strlen(value), network_address_size - 1));
    return true;
}

// camera_pipeline takes the rest of its line: a GStreamer description has spaces of its own.
void set_camera_pipeline(const char* rest, config_type& config)
{
    const char* start = rest + std::strspn(rest, " \t");
    size_t length = std::strlen(start);
    while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == '\t'))
        length--;
    config.camera_pipeline.assign(start, length);
}

// web_port: a decimal port number; anything else leaves the console off and says so.
void set_web_port(const char* value, web_config_type& web)
{
    char* end = nullptr;
    long port = std::strtol(value, &end, 10);
    if (value[0] == 0 || *end != 0 || port < 1 || port > 65535) {
        add_line("load_config: web_port %s is no port number", value);
        web.port = 0;
        return;
    }
    web.port = static_cast<int>(port);
}

// The web console's keys: web_port, web_address, web_token, web_cert, web_key. False for other keys.
bool parse_web_key(const char* key, const char* line, unsigned int& position, web_config_type& web_config)
{
    std::string* text = std::strcmp(key, "web_address") == 0 ? &web_config.address
                        : std::strcmp(key, "web_token") == 0 ? &web_config.token
                        : std::strcmp(key, "web_cert") == 0  ? &web_config.cert
                        : std::strcmp(key, "web_key") == 0   ? &web_config.key
                                                             : nullptr;
    if (text == nullptr && std::strcmp(key, "web_port") != 0)
        return false;
    char value[line_limit + 1];
    get_next_string(line, position, value);
    if (text != nullptr)
        *text = value;
    else
        set_web_port(value, web_config);
    return true;
}

// record_minutes, record_limit_mb, record_fps: positive numbers, fractions allowed.
void set_record_number(const char* key, const char* value, double* target)
{
    char* end = nullptr;
    double number = std::strtod(value, &end);
    if (end == value || *end != 0 || !std::isfinite(number) || number <= 0 || number > 1e9) {
        add_line("load_config: %s '%s' refused: a number above 0", key, value);
        return;
    }
    *target = number;
}

// The flight recorder's keys; false for other keys.
bool parse_record_key(const char* key, const char* line, unsigned int& position, recorder_config_type& recorder_config)
{
    double* number = std::strcmp(key, "record_minutes") == 0    ? &recorder_config.minutes
                     : std::strcmp(key, "record_limit_mb") == 0 ? &recorder_config.limit_mb
                     : std::strcmp(key, "record_fps") == 0      ? &recorder_config.fps
                                                                : nullptr;
    if (number == nullptr && std::strcmp(key, "record_folder") != 0)
        return false;
    char value[line_limit + 1];
    get_next_string(line, position, value);
    if (number == nullptr)
        recorder_config.folder = value;
    else if (value[0] != 0)
        set_record_number(key, value, number);
    return true;
}

} // namespace

void load_config(const char* filename, config_type& config)
{
    FILE* file = std::fopen(filename, "r");
    if (file == nullptr) {
        add_line("load_config: Unable to load config file");
        return;
    }
    char line[line_limit + 1];
    while (read_config_line(file, line))
        if (line[0] != 0)
            parse_line(line, config);
    std::fclose(file);
}

void parse_line(const char* line, config_type& config)
{
    char token[line_limit + 1];
    unsigned int position = 0;
    get_next_string(line, position, token);
    if (parse_log_key(token, line, position, config) || parse_network_key(token, line, position, config) ||
        parse_web_key(token, line, position, config.web) || web_video_key(token, line + position, config.video) ||
        web_origins_key(token, line + position, config.web) ||
        parse_record_key(token, line, position, config.record) ||
        fleet_parse_key(token, line, position, config.fleet))
        return;
    if (std::strcmp(token, "serial_port") == 0) {
        get_next_string(line, position, token);
        set_port_name(token, config);
    }
    if (std::strcmp(token, "camera_number") == 0) {
        get_next_string(line, position, token);
        if (token[0] != 0)
            config.camera_number = decimal_value(token);
    }
    if (std::strcmp(token, "camera_pipeline") == 0)
        set_camera_pipeline(line + position, config);
    if (std::strcmp(token, "command_on_change") == 0) {
        get_next_string(line, position, token);
        if (std::strcmp(token, "0") == 0 || std::strcmp(token, "1") == 0)
            config.command_on_change = token[0] == '1';
        else
            add_line("load_config: command_on_change '%s' refused: 0 or 1", token);
    }
}

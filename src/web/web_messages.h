// The web console's messages: what a browser may send (parsed here, strictly) and the state message the
// console sends to every browser.
//
// The protocol, over one WebSocket per browser:
//
// Console -> browser, a text message every 50 ms:
//   {"type":"state","serial_rate":N,"camera_rate":N|null,"remote":bool,"auto":bool,
//    "left":{"target":N,"speed":N,"reverse":bool},"right":{"target":N,"speed":N,"reverse":bool},
//    "analog":[8 numbers, fractions of full scale],"messages":["oldest line", ..., "newest line"],
//    "driver":"link"|"keyboard"|"browser"|"foxglove"|"mqtt"|"none","you_drive":bool,"browsers":N,
//    "time":seconds_since_start}
//   Targets and speeds are the control record's own numbers (0 to 240; the status window's bars show
//   speed / 255). camera_rate is null when there is no serial camera.
// Console -> browser, a binary message: one whole JPEG picture, exactly as the camera delivered it.
// Console -> browser, a text message answering a message it could not take:
//   {"type":"error","message":"..."}
// Console -> browser, a notice for this browser alone (why its driving was refused, say), which the page
// shows in its notice line for a few seconds:
//   {"type":"notice","message":"..."}
//
// Browser -> console, text messages of at most 4 KiB (a longer one is answered with an error, except a
// STOP, which is taken whatever its size):
//   {"type":"drive","w":0|1,"a":0|1,"s":0|1,"d":0|1}   the held directions; all zero releases them.
//       A missing direction counts as 0; true and false are taken for 1 and 0; other fields are ignored.
//       The browser repeats it at 20 Hz while something is held: after 0.5 s without one the robot stops.
//   {"type":"drive","forward":F,"turn":T}   proportional driving: F ahead (negative: back) and T to the
//       right (negative: left), each a number from -1 to 1, the share of full speed the page allows
//       (its maximum-speed slider is already applied). Both fields are required; a message with both
//       values and directions is refused. Repeated and timed out like the directions; 0, 0 releases.
//   {"type":"stop"}   any browser: the robot goes to its neutral state at once.
// The live video's signalling messages ride on the same WebSocket: web_video.h.
#pragma once

#include "robot/snapshot.h"
#include "services/message_lines.h"

#include <cstddef>
#include <string>
#include <string_view>

constexpr size_t web_message_max = 4096;  // bytes of one browser message

// Bits of a drive message's held directions.
constexpr unsigned int web_key_w = 1;  // forward
constexpr unsigned int web_key_a = 2;  // left
constexpr unsigned int web_key_s = 4;  // backward
constexpr unsigned int web_key_d = 8;  // right

enum class web_request_kind { invalid, drive, stop };

struct web_request_type {
    web_request_kind kind = web_request_kind::invalid;
    unsigned int keys = 0;   // web_key_* bits of a drive message
    bool proportional = false;  // a drive message with forward and turn values instead of directions
    double forward = 0.0;    // -1 .. 1, positive ahead
    double turn = 0.0;       // -1 .. 1, positive to the right
    std::string error;       // why an invalid message was not taken
};

// Parses one text message from a browser.
web_request_type web_parse_request(std::string_view text);

// Appends the text as a JSON string, quotes included. Bytes that are not valid UTF-8 become U+FFFD, so
// the result is always valid UTF-8 (a browser drops the connection over anything else).
void web_append_json_string(std::string& out, std::string_view text);

// Everything the state message tells, gathered at one moment.
struct web_state_type {
    robot_snapshot_type robot;
    char messages[text_line_count][text_line_size] = {};  // message lines, oldest first
    int message_count = 0;
    int browsers = 0;
    double time = 0.0;
};

// The state message up to its last field: everything but "you_drive", which differs between browsers.
// web_finish_state appends that field and closes the object.
std::string web_state_prefix(const web_state_type& state);
std::string web_finish_state(const std::string& prefix, bool you_drive);

// {"type":"error","message":"..."}
std::string web_error_message(std::string_view text);
// {"type":"notice","message":"..."}
std::string web_notice_message(std::string_view text);

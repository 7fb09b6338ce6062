// Driving from the terminal.
#include "drive.h"

#include "connection.h"
#include "keys.h"
#include "protocol.h"
#include "snapshot.h"
#include "terminal.h"

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <poll.h>
#include <unistd.h>

namespace {

using drive_clock = std::chrono::steady_clock;

// After this long without a reply the status line says so; after the second the client gives up.
constexpr double reply_warning_seconds = 1.0;
constexpr double reply_give_up_seconds = 10.0;
constexpr double status_interval_seconds = 0.05;

struct drive_type {
    int socket = -1;
    std::string name;                             // host:port for messages
    drive_clock::duration period;                 // between two control messages
    motion_type motion;                           // what the keys ask for now
    drive_clock::time_point next_send;
    std::deque<drive_clock::time_point> waiting;  // send times of the messages not yet answered
    protocol_reader_type reader;
    telemetry_message_type last_reply{};
    bool have_reply = false;
    double round_trip_us = 0;
    drive_clock::time_point last_status;
    int pictures_saved = 0;
    std::string picture_note;  // what became of the last image received
    std::string error;  // why the connection ended
};

double seconds_since(drive_clock::time_point then, drive_clock::time_point now)
{
    return std::chrono::duration<double>(now - then).count();
}

std::string status_text(const drive_type& drive, drive_clock::time_point now)
{
    char text[160];
    int length = std::snprintf(text, sizeof text, "%-8s L%c%3d R%c%3d | ", drive.motion.name,
                               drive.motion.flags & protocol_left_reverse ? '-' : '+', drive.motion.left,
                               drive.motion.flags & protocol_right_reverse ? '-' : '+', drive.motion.right);
    std::string line(text, static_cast<size_t>(length));
    if (drive.have_reply)
        line += "telemetry " + protocol_format_hex(drive.last_reply.data() + 1, 10);
    else
        line += "waiting for telemetry";
    double silent = drive.waiting.empty() ? 0.0 : seconds_since(drive.waiting.front(), now);
    if (silent > reply_warning_seconds)
        std::snprintf(text, sizeof text, " | no reply for %.1f s", silent);
    else
        std::snprintf(text, sizeof text, " | rtt %5.0f us", drive.round_trip_us);
    line += text;
    if (!drive.picture_note.empty())
        line += " | " + drive.picture_note;
    return line;
}

void show_status(drive_type* drive, bool force)
{
    auto now = drive_clock::now();
    if (!force && seconds_since(drive->last_status, now) < status_interval_seconds)
        return;
    drive->last_status = now;
    terminal_status(status_text(*drive, now));
}

int send_motion(drive_type* drive)
{
    control_message_type message =
        protocol_control_message(drive->motion.flags, drive->motion.left, drive->motion.right);
    auto now = drive_clock::now();
    if (connection_send(drive->socket, message.data(), message.size(), &drive->error) != 0)
        return 1;
    drive->waiting.push_back(now);
    drive->next_send += drive->period;
    if (drive->next_send <= now)  // fell behind (a stopped terminal, say): keep the rate, not the debt
        drive->next_send = now + drive->period;
    return 0;
}

// Each image received goes into quillon-image-NNN.jpg in the current folder, numbered from 001 each run.
void save_picture(drive_type* drive, const protocol_picture_type& image)
{
    char name[32];
    std::snprintf(name, sizeof name, "quillon-image-%03d.jpg", ++drive->pictures_saved);
    std::string error;
    if (snapshot_save(image, name, &error) == 0)
        drive->picture_note = std::string("saved ") + name;
    else
        drive->picture_note = error;
}

// An image request earns a telemetry reply like a control message, and the image follows.
void request_picture(drive_type* drive)
{
    const unsigned char request = protocol_image_request_type;
    std::string error;
    if (connection_send(drive->socket, &request, 1, &error) != 0)
        return;
    drive->waiting.push_back(drive_clock::now());
    drive->picture_note = "image asked for";
}

int receive_replies(drive_type* drive)
{
    unsigned char buffer[4096];
    long count = connection_receive(drive->socket, buffer, sizeof buffer, 0, &drive->error);
    if (count < 0)
        return 1;
    std::vector<telemetry_message_type> replies;
    protocol_read(&drive->reader, buffer, static_cast<size_t>(count), &replies);
    auto now = drive_clock::now();
    for (const telemetry_message_type& reply : replies) {
        drive->last_reply = reply;
        drive->have_reply = true;
        if (!drive->waiting.empty()) {
            drive->round_trip_us = seconds_since(drive->waiting.front(), now) * 1e6;
            drive->waiting.pop_front();
        }
    }
    for (const protocol_picture_type& image : drive->reader.completed_images)
        save_picture(drive, image);
    drive->reader.completed_images.clear();
    if (!replies.empty())
        show_status(drive, false);
    return 0;
}

// Applies the keys that arrived; returns 1 when one of them quits.
int handle_keys(drive_type* drive)
{
    std::vector<int> keys;
    if (!terminal_read_keys(&keys))
        return 1;
    for (int key : keys) {
        key_action action = keys_action(key, &drive->motion);
        if (action == key_action::quit)
            return 1;
        if (action == key_action::picture)
            request_picture(drive);  // a failed send shows at the next control message
        if (action == key_action::drive)
            drive->next_send = drive_clock::now();  // answer a key at once, then keep the rate
    }
    show_status(drive, true);
    return 0;
}

int wait_ms(const drive_type& drive)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drive.next_send - drive_clock::now());
    long ms = std::min<long>(left.count() + 1, 100);
    return static_cast<int>(std::max<long>(ms, 0));
}

// Returns 0 when the person quit, 1 when the connection failed (reason in drive->error).
int drive_loop(drive_type* drive)
{
    while (terminal_signal() == 0) {
        auto now = drive_clock::now();
        if (now >= drive->next_send && send_motion(drive) != 0)
            return 1;
        if (!drive->waiting.empty() && seconds_since(drive->waiting.front(), now) > reply_give_up_seconds) {
            drive->error = "no telemetry reply for 10 seconds";
            return 1;
        }
        pollfd ready[3] = {{terminal_signal_descriptor(), POLLIN, 0},
                           {STDIN_FILENO, POLLIN, 0},
                           {drive->socket, POLLIN, 0}};
        if (poll(ready, 3, wait_ms(*drive)) <= 0) {
            show_status(drive, false);
            continue;
        }
        if (ready[1].revents != 0 && handle_keys(drive) != 0)
            return 0;
        if (ready[2].revents != 0 && receive_replies(drive) != 0)
            return 1;
        show_status(drive, false);
    }
    return 0;
}

} // namespace

int drive_run(const options_type& options)
{
    std::string error;
    if (terminal_start(&error) != 0) {
        std::fprintf(stderr, "quillon-operator: %s\n", error.c_str());
        return 1;
    }
    drive_type drive;
    drive.reader.keep_images = true;
    drive.name = connection_name(options.host, options.port);
    drive.socket = connection_open(options.host, options.port, &error);
    if (drive.socket < 0) {
        terminal_restore();
        std::fprintf(stderr, "quillon-operator: %s\n", error.c_str());
        return 1;
    }
    drive.period = std::chrono::duration_cast<drive_clock::duration>(std::chrono::duration<double>(1.0 / options.rate));
    drive.next_send = drive_clock::now();
    std::printf("Driving %s at %g messages a second. W forward, S backward, A left, D right, space stop, "
                "P save a camera image, Q or Esc quit.\n", drive.name.c_str(), options.rate);
    int failed = drive_loop(&drive);
    if (!failed) {
        control_message_type stop = protocol_control_message(0, 0, 0);
        connection_send(drive.socket, stop.data(), stop.size(), &error);
    }
    connection_close(drive.socket);
    terminal_end_status();
    terminal_restore();
    if (failed) {
        std::fprintf(stderr, "quillon-operator: connection to %s lost: %s\n", drive.name.c_str(), drive.error.c_str());
        return 1;
    }
    return terminal_signal() != 0 ? 128 + terminal_signal() : 0;
}

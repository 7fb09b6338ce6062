// The operator link: one TCP client drives the robot with control messages and gets a telemetry reply
// for every message; socket events arrive on the window thread as WM_SOCKET.
#pragma once

#include "platform/window.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

extern int network_port;  // the TCP port the link listens on (32459)
constexpr unsigned int network_address_size = 64;

constexpr unsigned char network_control_byte = 0x30;    // control message: this byte and a 7-byte record
constexpr unsigned char network_image_byte = 0x60;      // image request, one byte
constexpr unsigned char network_telemetry_byte = 0x90;  // telemetry message to the client
constexpr unsigned int network_control_length = 8;      // bytes of a whole control message
constexpr unsigned int network_record_length = 7;       // bytes of the control record inside it
constexpr unsigned int network_telemetry_length = 21;   // bytes of a telemetry message
constexpr int network_chunk_size = 1024;                // bytes taken from the client per receive

// One complete message from the client.
struct network_request_type {
    unsigned char type = 0;                               // network_control_byte or network_image_byte
    unsigned char record[network_record_length] = {};     // the control record; unused for an image request
};

// Cuts the client's byte stream into messages. TCP may split a control message between two receives,
// so its unfinished start is kept until the next chunk completes it.
struct network_parser_type {
    unsigned char pending[network_control_length] = {};  // the unfinished control message, type byte first
    unsigned int pending_length = 0;                      // bytes held in pending: 0, or 1 to 7
};

// Takes the next complete message from data[position, length) and moves position past it. Returns false
// once the chunk is used up; an unfinished control message at its end is kept for the next chunk. Bytes
// that start no message are skipped.
bool network_parser_next(network_parser_type& parser, const unsigned char* data, unsigned int length,
                         unsigned int& position, network_request_type& request);
// Forgets an unfinished message (the client has gone).
void network_parser_reset(network_parser_type& parser);

// Listens on the one local IPv4 address given (configuration key listen_address), or on every interface
// when it is empty; reports the outcome as a message line.
void network_start(window_handle window, const std::string& address = "");
void network_stop();
void network_message(uintptr_t socket, intptr_t event);
void network_accept(double now);
void network_read(double now);
// The 10 ms task: what the socket has room for goes out, a cut client goes, a paused accept resumes.
void network_check(double now);
void network_send_telemetry();
void network_send_image();
// Where the link hands its client's image requests (the camera's request_image); set by the shell.
void network_set_image_requests(std::function<void()> request);
// Sends an image message to the client (any thread). It never waits for room: what the socket does not
// take now follows on later sends and ticks, and while such a rest is waiting a new image is dropped.
// True when the image was dropped or the send failed.
bool network_send(const unsigned char* data, unsigned int length);
// Bytes accepted for the client that its socket has not taken yet.
size_t network_backlog_size();

// True while the link holds a client (window thread).
bool network_client_held();

// Makes an already connected socket the held client, as an accept would (tests attach a socket pair).
void network_attach_client(int socket, double now);

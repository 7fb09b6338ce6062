// The operator link: one TCP client drives the robot with control messages and gets a telemetry reply
// for every message; socket events arrive on the window thread as WM_SOCKET.
#pragma once

#include "platform/window.h"

#include <cstdint>

extern int camera_port;  // the TCP port the link listens on

void network_start(window_handle window);
void network_stop();
void network_message(uintptr_t socket, intptr_t event);
void network_accept();
void network_read();
void network_check();
void netword_send_telemetry();
void network_send_image();
// Sends a whole message to the client under the send lock; true when the send failed.
bool network_send(const unsigned char* data, unsigned int length);

// Makes an already connected socket the held client, as an accept would (tests attach a socket pair).
void network_attach_client(int socket);

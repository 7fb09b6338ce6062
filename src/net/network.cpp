// The operator link (built with the operator link).
#include "net/network.h"

int camera_port = 32459;

void network_start(window_handle) {}
void network_stop() {}
void network_message(uintptr_t, intptr_t) {}
void network_accept() {}
void network_read() {}
void network_check() {}
void netword_send_telemetry() {}
void network_send_image() {}
bool network_send(const unsigned char*, unsigned int) { return true; }
void network_attach_client(int) {}

// The record of the bus as the simulated robot sees it: one line per received packet, timestamped,
// written and flushed at once so a test can follow it while the sim runs.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

struct sim_record_type {
    FILE* file = nullptr;
};

bool sim_record_open(sim_record_type& record, const std::string& path);
void sim_record_close(sim_record_type& record);
// "12.345678 01 08 80 80 80 80 00 00 00 00 09": seconds since the start, then the packet in hex.
void sim_record_packet(sim_record_type& record, double now, const unsigned char* bytes, size_t length);
// "# 12.345678 text": an event (an injected fault, skipped bytes); never mistaken for a packet.
void sim_record_note(sim_record_type& record, double now, const std::string& text);

// Finds where packets begin in a byte stream joined at an arbitrary point: a port opened while the board
// was talking starts mid-packet, and a board that streams without pause never leaves a gap to start from.
#pragma once

#include <cstddef>
#include <vector>

class packet_hunt {
public:
    // Takes more bytes; true once a boundary is found, and then aligned() holds the bytes from it on.
    bool add(const unsigned char* data, int count);
    const std::vector<unsigned char>& aligned() const { return window; }
    // Bytes passed over before the boundary.
    unsigned long skipped() const { return dropped; }
    // Bytes heard since the search began.
    unsigned long heard() const { return dropped + window.size(); }
    // While no boundary is found: true once the search has heard 2 kB, or heard bytes for 2 s, and then
    // at most once every 10 s; a line that never yields a packet is worth saying (baud rate, wrong port).
    bool stuck(double now);
    void reset();

private:
    enum class verdict { no, wait, found };
    verdict judge(std::size_t at) const;
    bool whole_packet(std::size_t at) const;

    std::vector<unsigned char> window;  // the bytes not yet passed over
    unsigned long dropped = 0;          // bytes passed over
    double searching_since = -1.0;      // when stuck first saw bytes heard, below 0 before
    double last_report = -1e9;          // the last time stuck said so; kept across searches
};

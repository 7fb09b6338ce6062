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
    void reset();

private:
    enum class verdict { no, wait, found };
    verdict judge(std::size_t at) const;
    bool whole_packet(std::size_t at) const;

    std::vector<unsigned char> window;  // the bytes not yet passed over
    unsigned long dropped = 0;
};

// The operator link's messages as the client sees them: building control messages, splitting the
// server's byte stream into telemetry replies, and hex text for people.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr unsigned char protocol_control_type = 0x30;
constexpr unsigned char protocol_image_request_type = 0x60;
constexpr unsigned char protocol_telemetry_type = 0x90;
constexpr unsigned char protocol_image_type = 0x60;
constexpr size_t protocol_control_length = 8;
constexpr size_t protocol_telemetry_length = 21;
constexpr size_t protocol_image_header_length = 9;
constexpr uint64_t protocol_image_keep_limit = 64ull << 20;  // larger images are passed over, never kept

using control_message_type = std::array<unsigned char, protocol_control_length>;
using telemetry_message_type = std::array<unsigned char, protocol_telemetry_length>;

constexpr unsigned char protocol_left_reverse = 0x01;
constexpr unsigned char protocol_right_reverse = 0x02;

// A control message: type byte, then the record 00, flags, left target, right target, 80, 80, 00.
control_message_type protocol_control_message(unsigned char flags, unsigned char left, unsigned char right);

// How many telemetry replies the server gives for these bytes: one per control message, one per image
// request; other bytes are skipped as the server skips them. -1 when a control message is cut short,
// since the server keeps nothing of it for the next chunk.
int protocol_count_replies(const std::vector<unsigned char>& bytes);

// An image message as received: the size its header gives and the JPEG.
struct protocol_picture_type {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> jpeg;
};

// Splits the server's stream into messages. Telemetry replies come out whole; image messages are
// passed over by their length, or kept when keep_images is set; bytes that start no known message are
// counted and dropped.
struct protocol_reader_type {
    std::vector<unsigned char> pending;  // start of a telemetry reply or image header not yet complete
    uint64_t image_bytes_left = 0;       // JPEG bytes of an image message still to pass over
    uint64_t images = 0;
    uint64_t stray_bytes = 0;
    bool keep_images = false;                   // gather the images into completed_images
    protocol_picture_type image;                  // the image being received
    bool keeping_image = false;                 // its bytes go into image
    std::vector<protocol_picture_type> completed_images;  // whole images not yet taken by the caller
};

// Takes received bytes and appends every completed telemetry reply to replies.
void protocol_read(protocol_reader_type* reader, const unsigned char* data, size_t length,
                   std::vector<telemetry_message_type>* replies);

// "90 ff 00 ..." in lower case.
std::string protocol_format_hex(const unsigned char* data, size_t length);
// Hex digit pairs, optionally separated by blanks or colons; returns 0, or 1 for anything else.
int protocol_parse_hex(const std::string& text, std::vector<unsigned char>* bytes);

// The operator link's messages as the client sees them.
#include "protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

control_message_type protocol_control_message(unsigned char flags, unsigned char left, unsigned char right)
{
    return {protocol_control_type, 0x00, flags, left, right, 0x80, 0x80, 0x00};
}

int protocol_count_replies(const std::vector<unsigned char>& bytes)
{
    int replies = 0;
    size_t position = 0;
    while (position < bytes.size()) {
        if (bytes[position] == protocol_control_type) {
            if (bytes.size() - position < protocol_control_length)
                return -1;
            replies++;
            position += protocol_control_length;
        } else {
            if (bytes[position] == protocol_image_request_type)
                replies++;
            position++;
        }
    }
    return replies;
}

namespace {

uint64_t image_length(const std::vector<unsigned char>& header)
{
    return (uint64_t{header[5]} << 24) | (uint64_t{header[6]} << 16) | (uint64_t{header[7]} << 8) | header[8];
}

// Moves bytes into the pending message until it is complete; returns how many were taken.
size_t fill_pending(protocol_reader_type* reader, const unsigned char* data, size_t length, size_t wanted)
{
    size_t take = std::min(length, wanted - reader->pending.size());
    reader->pending.insert(reader->pending.end(), data, data + take);
    return take;
}

} // namespace

void protocol_read(protocol_reader_type* reader, const unsigned char* data, size_t length,
                   std::vector<telemetry_message_type>* replies)
{
    size_t position = 0;
    while (position < length) {
        if (reader->image_bytes_left > 0) {
            size_t skip = static_cast<size_t>(std::min<uint64_t>(reader->image_bytes_left, length - position));
            if (reader->keeping_image)
                reader->image.jpeg.insert(reader->image.jpeg.end(), data + position, data + position + skip);
            reader->image_bytes_left -= skip;
            position += skip;
            if (reader->image_bytes_left == 0 && reader->keeping_image)
                reader->completed_images.push_back(std::move(reader->image));
            continue;
        }
        if (reader->pending.empty() && data[position] != protocol_telemetry_type &&
            data[position] != protocol_image_type) {
            reader->stray_bytes++;
            position++;
            continue;
        }
        bool telemetry = (reader->pending.empty() ? data[position] : reader->pending[0]) == protocol_telemetry_type;
        size_t wanted = telemetry ? protocol_telemetry_length : protocol_image_header_length;
        position += fill_pending(reader, data + position, length - position, wanted);
        if (reader->pending.size() < wanted)
            break;
        if (telemetry) {
            telemetry_message_type reply;
            std::copy(reader->pending.begin(), reader->pending.end(), reply.begin());
            replies->push_back(reply);
        } else {
            reader->images++;
            reader->image_bytes_left = image_length(reader->pending);
            reader->image = protocol_picture_type{};
            reader->image.width = reader->pending[1] << 8 | reader->pending[2];
            reader->image.height = reader->pending[3] << 8 | reader->pending[4];
            reader->keeping_image = reader->keep_images && reader->image_bytes_left <= protocol_image_keep_limit;
            if (reader->image_bytes_left == 0 && reader->keeping_image)
                reader->completed_images.push_back(std::move(reader->image));
        }
        reader->pending.clear();
    }
}

std::string protocol_format_hex(const unsigned char* data, size_t length)
{
    std::string text;
    char pair[4];
    for (size_t i = 0; i < length; i++) {
        std::snprintf(pair, sizeof pair, "%02x", data[i]);
        if (i > 0)
            text += ' ';
        text += pair;
    }
    return text;
}

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

int protocol_parse_hex(const std::string& text, std::vector<unsigned char>* bytes)
{
    bytes->clear();
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == ':' || text[i] == '\t') {
            i++;
            continue;
        }
        if (i + 1 >= text.size())
            return 1;
        int high = hex_digit(text[i]);
        int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            return 1;
        bytes->push_back(static_cast<unsigned char>(high * 16 + low));
        i += 2;
    }
    return 0;
}

// JPEG decoding from memory into 32-bit pixels laid out as a bottom-up bitmap's rows.
#pragma once

// One pixel of a decoded image, in the byte order of a 32-bit uncompressed bitmap.
struct color_type {
    unsigned char blue;
    unsigned char green;
    unsigned char red;
    unsigned char reserved;  // never written by the decoder
};

// Decodes the stream into the width x height array; returns false (and logs) when the stream could not
// be decoded in full. The array keeps whatever rows were written.
bool decompress_image(const char* data, unsigned int size, color_type* image, unsigned int width, unsigned int height);

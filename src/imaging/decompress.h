// JPEG decoding from memory into 32-bit pixels laid out as a bottom-up bitmap's rows.
#pragma once

struct jpeg_decompress_struct;

// One pixel of a decoded image, in the byte order of a 32-bit uncompressed bitmap.
struct color_type {
    unsigned char blue;
    unsigned char green;
    unsigned char red;
    unsigned char reserved;  // never written by the decoder
};

// Decodes the stream into the width x height array; returns false (and logs) when the stream could not
// be decoded in full. The array keeps whatever rows were written.
// JPEG row r goes to array row r. Colour rows are stored mirrored (record x of a row holds JPEG column
// width - 1 - x), grayscale rows are not. An image taller than the array, or with other than one or three
// components, is skipped. Columns the image does not have keep their contents.
bool decompress_image(const char* data, unsigned int size, color_type* image, unsigned int width, unsigned int height);

// The image size the stream's frame header gives; false when the header cannot be read.
bool jpeg_image_size(const char* data, unsigned int size, int* width, int* height);

// Makes the decompressor read the data in place; a stream that runs out ends with an end-of-image marker.
void camera_jpeg_src(jpeg_decompress_struct* cinfo, const char* data, unsigned int size);

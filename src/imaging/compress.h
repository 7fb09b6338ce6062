// Frame compression: 32-bit frames into baseline JPEG at quality 80 in a caller's buffer, and the
// layout of the image message that carries one to the operator.
#pragma once

struct jpeg_compress_struct;

// Encodes width x height 4-byte pixels (bytes 0, 1, 2 red, green, blue; first row on top) into jpeg_out.
// Returns false, leaving *jpeg_size unchanged, when no image was made (zero size, library error, or a
// JPEG that would not fit in capacity bytes); nothing is ever written past the capacity. The JPEG must
// leave at least one byte of the capacity free: a buffer that fills up counts as too small.
// Not reentrant: one compression at a time.
bool compress_frame(const unsigned char* frame, unsigned char* jpeg_out, unsigned char* transcode, int capacity,
                    unsigned int* jpeg_size, int width, int height);
void convert_4byte_to_3byte(const unsigned char* src, unsigned char* dst, unsigned int pixels);

// Makes the compressor write into buffer, which holds size bytes. A compressor whose error manager is
// the library's standard one must not be given more output than fits: the full buffer raises an error.
void jpeg_buffer_dest(jpeg_compress_struct* cinfo, char* buffer, unsigned int size);

constexpr unsigned int image_header_size = 9;
constexpr unsigned char image_message_type = 0x60;
// Writes the 9-byte image message header: 0x60, big-endian width, height (low 16 bits) and JPEG length.
void image_message_header(unsigned char* out, int width, int height, unsigned int jpeg_length);

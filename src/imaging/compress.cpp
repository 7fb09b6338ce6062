// Frame compression into a memory buffer through a libjpeg destination manager, and the image message header.
#include "imaging/compress.h"

#include "services/log.h"
#include "services/utility.h"

#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// The memory destination of the compression in progress.
struct destination_type {
    unsigned char* c_buffer = nullptr;  // first byte of the area that receives the JPEG
    unsigned int max_buffer = 0;        // capacity of that area in bytes
    unsigned int out_size = 0;          // JPEG bytes produced; 0 whenever a destination is installed
};

destination_type destination;


constexpr int jpeg_quality = 80;

// The library's error manager, extended so that an error returns to compress_frame instead of ending
// the program.
struct compress_error_type {
    jpeg_error_mgr manager;  // first, so the library's pointer to it is a pointer to this record
    std::jmp_buf resume;     // where compress_frame continues after an error
};

void buffer_init_destination(j_compress_ptr cinfo)
{
    // The library writes one byte before it asks for room, so an empty area cannot be handed to it.
    if (destination.max_buffer == 0)
        ERREXIT(cinfo, JERR_BUFFER_SIZE);
    cinfo->dest->next_output_byte = destination.c_buffer;
    cinfo->dest->free_in_buffer = destination.max_buffer;
}

// The area never grows: once it is full the compression fails, before the encoder can write past it.
boolean buffer_empty_output_buffer(j_compress_ptr cinfo)
{
    ERREXIT(cinfo, JERR_BUFFER_SIZE);
    return FALSE;
}

void buffer_term_destination(j_compress_ptr cinfo)
{
    destination.out_size += destination.max_buffer - static_cast<unsigned int>(cinfo->dest->free_in_buffer);
}

void compress_error_exit(j_common_ptr cinfo)
{
    (*cinfo->err->output_message)(cinfo);
    std::longjmp(reinterpret_cast<compress_error_type*>(cinfo->err)->resume, 1);
}

void compress_output_message(j_common_ptr cinfo)
{
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    log_write("Compress - %s", text);
}

// Sets the image parameters and encodes the transcoded rows; any library error leaves by longjmp.
void encode_rows(jpeg_compress_struct* cinfo, unsigned char* transcode, int width, int height)
{
    cinfo->image_width = static_cast<JDIMENSION>(width);
    cinfo->image_height = static_cast<JDIMENSION>(height);
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, jpeg_quality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
    while (cinfo->next_scanline < cinfo->image_height) {
        JSAMPROW row = transcode + cinfo->next_scanline * row_bytes;
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
}

} // namespace

void convert_4byte_to_3byte(const unsigned char* src, unsigned char* dst, unsigned int pixels)
{
    for (unsigned int i = 0; i < pixels; i++) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        src += 4;
        dst += 3;
    }
}

void jpeg_buffer_dest(jpeg_compress_struct* cinfo, char* buffer, unsigned int size)
{
    destination.max_buffer = size;
    destination.c_buffer = reinterpret_cast<unsigned char*>(buffer);
    destination.out_size = 0;
    if (cinfo->dest == nullptr)
        cinfo->dest = static_cast<jpeg_destination_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(jpeg_destination_mgr)));
    cinfo->dest->init_destination = buffer_init_destination;
    cinfo->dest->empty_output_buffer = buffer_empty_output_buffer;
    cinfo->dest->term_destination = buffer_term_destination;
}

bool compress_frame(const unsigned char* frame, unsigned char* jpeg_out, unsigned char* transcode, int capacity,
                    unsigned int* jpeg_size, int width, int height)
{
    if (width <= 0 || height <= 0 || capacity <= 0)
        return false;
    // Far beyond what the library encodes, and the pixel count would not fit the conversion.
    if (static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height) > UINT_MAX) {
        log_write("Compress - Frame of %d x %d is too large", width, height);
        return false;
    }
    convert_4byte_to_3byte(frame, transcode, static_cast<unsigned int>(width) * static_cast<unsigned int>(height));

    // Nothing with a destructor lives in this frame: the error path leaves encode_rows by longjmp.
    jpeg_compress_struct cinfo;
    compress_error_type error;
    cinfo.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = compress_error_exit;
    error.manager.output_message = compress_output_message;
    cinfo.mem = nullptr;  // a compressor whose creation failed has no memory to release
    if (setjmp(error.resume) != 0) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_buffer_dest(&cinfo, reinterpret_cast<char*>(jpeg_out), static_cast<unsigned int>(capacity));
    encode_rows(&cinfo, transcode, width, height);
    *jpeg_size = destination.out_size;
    jpeg_destroy_compress(&cinfo);
    return true;
}

void image_message_header(unsigned char* out, int width, int height, unsigned int jpeg_length)
{
    unsigned int index = 0;
    append_byte(out, index, image_message_type);
    append_byte(out, index, static_cast<unsigned char>(width >> 8));
    append_byte(out, index, static_cast<unsigned char>(width));
    append_byte(out, index, static_cast<unsigned char>(height >> 8));
    append_byte(out, index, static_cast<unsigned char>(height));
    append_byte(out, index, static_cast<unsigned char>(jpeg_length >> 24));
    append_byte(out, index, static_cast<unsigned char>(jpeg_length >> 16));
    append_byte(out, index, static_cast<unsigned char>(jpeg_length >> 8));
    append_byte(out, index, static_cast<unsigned char>(jpeg_length));
}

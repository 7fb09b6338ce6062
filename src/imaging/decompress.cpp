// JPEG decoding from memory: a source that reads the caller's buffer in place, an error manager that
// returns to the caller instead of ending the process, and the row copy into the bitmap layout.
#include "imaging/decompress.h"

#include "services/log.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

namespace {

// The memory source: the library's record first, so the library can use it as its own.
struct camera_source_type {
    jpeg_source_mgr pub;
    unsigned int size;   // length of the compressed data
    const char* data;    // the compressed data, read in place
    bool supplied;       // the data has been handed over; later requests get an end-of-image marker
};

// Fatal errors return to decompress_image through this point.
struct camera_error_type {
    jpeg_error_mgr pub;
    jmp_buf recovery;
};

const JOCTET end_of_image[2] = {0xFF, JPEG_EOI};

void camera_init_source(j_decompress_ptr) {}

boolean camera_fill_input_buffer(j_decompress_ptr cinfo)
{
    auto* source = reinterpret_cast<camera_source_type*>(cinfo->src);
    if (!source->supplied && source->size > 0) {
        source->pub.next_input_byte = reinterpret_cast<const JOCTET*>(source->data);
        source->pub.bytes_in_buffer = source->size;
        source->supplied = true;
        return TRUE;
    }
    // The stream ran out (a truncated image): end it as the library's own sources do, so the decoder
    // finishes with what it has rather than reading the stream's start as its end.
    source->supplied = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    source->pub.next_input_byte = end_of_image;
    source->pub.bytes_in_buffer = sizeof end_of_image;
    return TRUE;
}

void camera_skip_input_data(j_decompress_ptr cinfo, long count)
{
    jpeg_source_mgr* source = cinfo->src;
    if (count <= 0)
        return;
    if (static_cast<unsigned long>(count) >= source->bytes_in_buffer) {
        // A skip beyond the data ends at the data's end; the next read meets the end-of-image marker.
        source->next_input_byte += source->bytes_in_buffer;
        source->bytes_in_buffer = 0;
        reinterpret_cast<camera_source_type*>(source)->supplied = true;
        return;
    }
    source->next_input_byte += count;
    source->bytes_in_buffer -= static_cast<size_t>(count);
}

void camera_term_source(j_decompress_ptr) {}

void camera_error_exit(j_common_ptr cinfo)
{
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    log_write("Decompress - Error: %s", text);
    std::longjmp(reinterpret_cast<camera_error_type*>(cinfo->err)->recovery, 1);
}

void camera_output_message(j_common_ptr cinfo)
{
    char text[JMSG_LENGTH_MAX];
    cinfo->err->format_message(cinfo, text);
    log_write("Decompress - Warning: %s", text);
}

// Copies one decoded row into its array row: colour mirrored, grayscale as it is. Only the columns both
// the image and the array have are touched.
void store_row(const JSAMPLE* samples, unsigned int image_width, int components, color_type* out, unsigned int width)
{
    unsigned int columns = std::min(image_width, width);
    if (components == 1) {
        for (unsigned int x = 0; x < columns; x++) {
            out[x].blue = samples[x];
            out[x].green = samples[x];
            out[x].red = samples[x];
        }
        return;
    }
    for (unsigned int column = 0; column < columns; column++) {
        color_type& pixel = out[width - 1 - column];
        const JSAMPLE* rgb = samples + 3 * static_cast<size_t>(column);
        pixel.red = rgb[0];
        pixel.green = rgb[1];
        pixel.blue = rgb[2];
    }
}

// True when the image fits the array and has a layout the copy knows.
bool image_fits(jpeg_decompress_struct* cinfo, unsigned int height)
{
    jpeg_calc_output_dimensions(cinfo);
    if (cinfo->output_components != 1 && cinfo->output_components != 3) {
        log_write("Decompress - Image with %d components: skipped", cinfo->output_components);
        return false;
    }
    if (cinfo->output_height > height) {
        log_write("Decompress - Image %u x %u taller than %u rows: skipped", cinfo->output_width, cinfo->output_height,
            height);
        return false;
    }
    return true;
}

// Decodes scanline by scanline straight into the array. No C++ object lives here: an error leaves by longjmp.
void decode_rows(jpeg_decompress_struct* cinfo, color_type* image, unsigned int width)
{
    jpeg_start_decompress(cinfo);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->output_width * cinfo->output_components, 1);
    while (cinfo->output_scanline < cinfo->output_height) {
        if (jpeg_read_scanlines(cinfo, row, 1) != 1)
            break;
        size_t r = cinfo->output_scanline - 1;
        store_row(row[0], cinfo->output_width, cinfo->output_components, image + r * width, width);
    }
    jpeg_finish_decompress(cinfo);
}

} // namespace

void camera_jpeg_src(jpeg_decompress_struct* cinfo, const char* data, unsigned int size)
{
    if (cinfo->src == nullptr)
        cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(camera_source_type)));
    auto* source = reinterpret_cast<camera_source_type*>(cinfo->src);
    source->data = data;
    source->size = data != nullptr ? size : 0;
    source->supplied = false;
    source->pub.init_source = camera_init_source;
    source->pub.fill_input_buffer = camera_fill_input_buffer;
    source->pub.skip_input_data = camera_skip_input_data;
    source->pub.resync_to_restart = jpeg_resync_to_restart;
    source->pub.term_source = camera_term_source;
    source->pub.next_input_byte = nullptr;
    source->pub.bytes_in_buffer = 0;
}

namespace {

// Runs the body on a decompressor that has read the picture's header, then releases it; false when the
// data is no JPEG or the body fails. The library's errors jump back here, so the body owns nothing that
// needs destroying.
template <typename Body>
bool with_jpeg_header(const char* data, unsigned int size, Body body)
{
    jpeg_decompress_struct cinfo;
    camera_error_type error;
    cinfo.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = camera_error_exit;
    error.pub.output_message = camera_output_message;
    if (setjmp(error.recovery)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    camera_jpeg_src(&cinfo, data, size);
    jpeg_read_header(&cinfo, TRUE);
    bool done = body(&cinfo, error);
    jpeg_destroy_decompress(&cinfo);
    return done;
}

} // namespace

bool decompress_image(const char* data, unsigned int size, color_type* image, unsigned int width, unsigned int height)
{
    if (image == nullptr) {
        log_write("Decompress - No image array");
        return false;
    }
    return with_jpeg_header(data, size, [&](jpeg_decompress_struct* cinfo, const camera_error_type& error) {
        if (!image_fits(cinfo, height))
            return false;
        decode_rows(cinfo, image, width);
        // A warning (the data ran out, damaged entropy data) has been logged; the rows are what was left.
        return error.pub.num_warnings == 0;
    });
}

bool jpeg_image_size(const char* data, unsigned int size, int* width, int* height)
{
    return with_jpeg_header(data, size, [&](jpeg_decompress_struct* cinfo, const camera_error_type&) {
        *width = static_cast<int>(cinfo->image_width);
        *height = static_cast<int>(cinfo->image_height);
        return true;
    });
}

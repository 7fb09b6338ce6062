// JPEG streams the tests make with libjpeg: any size, one, three or four components, pixels from a function.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <jpeglib.h>

namespace test_jpeg {

// Fills the components of the pixel at column x, row y (row 0 at the top).
using pixel_function = std::function<void(int x, int y, unsigned char* samples)>;

inline std::vector<unsigned char> make(int width, int height, int components, const pixel_function& pixel,
                                       int quality = 95)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<size_t>(width) * components);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < width; x++)
            pixel(x, static_cast<int>(cinfo.next_scanline), &row[static_cast<size_t>(x) * components]);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<unsigned char> result(out, out + out_size);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return result;
}

inline std::vector<unsigned char> solid(int width, int height, unsigned char red, unsigned char green,
                                        unsigned char blue)
{
    return make(width, height, 3, [=](int, int, unsigned char* s) {
        s[0] = red;
        s[1] = green;
        s[2] = blue;
    });
}

// A decoded picture: RGB samples, top row first.
struct picture_type {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    const unsigned char* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Decodes a JPEG with the library's own memory source; an empty picture when the header is unreadable.
inline picture_type decode(const unsigned char* data, size_t size)
{
    picture_type picture;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8 || jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return picture;
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    picture.width = static_cast<int>(cinfo.output_width);
    picture.height = static_cast<int>(cinfo.output_height);
    picture.rgb.resize(static_cast<size_t>(picture.width) * picture.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &picture.rgb[static_cast<size_t>(cinfo.output_scanline) * picture.width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return picture;
}

} // namespace test_jpeg

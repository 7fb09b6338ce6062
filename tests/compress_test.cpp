// Frame compression into memory and the image message header.
#include "imaging/compress.h"

#include "services/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <jpeglib.h>

namespace {

using bytes = std::vector<unsigned char>;

struct decoded_type {
    bool ok = false;
    int width = 0;
    int height = 0;
    bytes rgb;  // 3 bytes a pixel, first row on top
};

struct decode_error_type {
    jpeg_error_mgr manager;
    std::jmp_buf resume;
};

void decode_error_exit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<decode_error_type*>(cinfo->err)->resume, 1);
}

// Decodes with the library directly, so a fault in our decoder cannot hide one in the encoder.
decoded_type decode(const unsigned char* data, unsigned int length)
{
    decoded_type out;
    jpeg_decompress_struct cinfo;
    decode_error_type error;
    cinfo.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = decode_error_exit;
    jpeg_create_decompress(&cinfo);
    if (setjmp(error.resume) != 0) {
        jpeg_destroy_decompress(&cinfo);
        out.ok = false;
        return out;
    }
    jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), length);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    out.rgb.resize(static_cast<std::size_t>(out.width) * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * out.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    out.ok = true;
    return out;
}

bytes uniform_frame(int width, int height, unsigned char r, unsigned char g, unsigned char b, unsigned char x)
{
    bytes frame(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < frame.size(); i += 4) {
        frame[i] = r;
        frame[i + 1] = g;
        frame[i + 2] = b;
        frame[i + 3] = x;
    }
    return frame;
}

bytes noise_frame(int width, int height, unsigned int seed)
{
    bytes frame(static_cast<std::size_t>(width) * height * 4);
    for (auto& byte : frame) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(seed >> 16);
    }
    return frame;
}

// One compression with a generous output buffer; the JPEG bytes, or empty when none was made.
bytes compress(const bytes& frame, int width, int height)
{
    bytes out(frame.size() * 2 + 4096);
    bytes transcode(frame.size());
    unsigned int size = 0;
    if (!compress_frame(frame.data(), out.data(), transcode.data(), static_cast<int>(out.size()), &size, width, height))
        return {};
    out.resize(size);
    return out;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

} // namespace

TEST(CompressFrame, UniformFrameDecodesToBytesZeroOneTwoAsRedGreenBlue)
{
    bytes frame = uniform_frame(32, 24, 10, 20, 30, 77);
    bytes jpeg = compress(frame, 32, 24);
    ASSERT_FALSE(jpeg.empty());
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);
    decoded_type image = decode(jpeg.data(), static_cast<unsigned int>(jpeg.size()));
    ASSERT_TRUE(image.ok);
    ASSERT_EQ(image.width, 32);
    ASSERT_EQ(image.height, 24);
    for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
        ASSERT_NEAR(image.rgb[i], 10, 3) << "pixel " << i / 3;
        ASSERT_NEAR(image.rgb[i + 1], 20, 3) << "pixel " << i / 3;
        ASSERT_NEAR(image.rgb[i + 2], 30, 3) << "pixel " << i / 3;
    }
}

TEST(CompressFrame, ByteThreeHasNoInfluence)
{
    bytes frame = noise_frame(40, 30, 7);
    bytes other = frame;
    for (std::size_t i = 3; i < other.size(); i += 4)
        other[i] = static_cast<unsigned char>(~other[i]);
    bytes first = compress(frame, 40, 30);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, compress(other, 40, 30));
}

TEST(CompressFrame, FirstRowInMemoryIsTheTopRow)
{
    const int width = 16, height = 32;
    bytes frame = uniform_frame(width, height, 0, 0, 200, 0);  // blue below
    for (int i = 0; i < width * height / 2; i++)
        frame[static_cast<std::size_t>(i) * 4] = 200, frame[static_cast<std::size_t>(i) * 4 + 2] = 0;  // red above
    bytes jpeg = compress(frame, width, height);
    decoded_type image = decode(jpeg.data(), static_cast<unsigned int>(jpeg.size()));
    ASSERT_TRUE(image.ok);
    const unsigned char* top = &image.rgb[0];
    const unsigned char* bottom = &image.rgb[static_cast<std::size_t>(height - 1) * width * 3];
    EXPECT_GT(top[0], 150);
    EXPECT_LT(top[2], 50);
    EXPECT_LT(bottom[0], 50);
    EXPECT_GT(bottom[2], 150);
}

TEST(CompressFrame, ZeroWidthOrHeightWritesNothingAndKeepsTheSize)
{
    bytes frame = uniform_frame(8, 8, 1, 2, 3, 4);
    for (auto [width, height] : {std::pair{0, 8}, std::pair{8, 0}, std::pair{0, 0}}) {
        bytes out(1024, 0xAA);
        bytes transcode(1024, 0x55);
        unsigned int size = 1234;
        EXPECT_FALSE(compress_frame(frame.data(), out.data(), transcode.data(), 1024, &size, width, height));
        EXPECT_EQ(size, 1234u);
        EXPECT_EQ(out, bytes(1024, 0xAA));
        EXPECT_EQ(transcode, bytes(1024, 0x55));
    }
}

TEST(CompressFrame, TwoCallsGiveIndependentSizes)
{
    bytes small = uniform_frame(16, 16, 90, 90, 90, 0);
    bytes large = noise_frame(64, 64, 3);
    bytes small_alone = compress(small, 16, 16);
    bytes large_jpeg = compress(large, 64, 64);
    bytes small_after = compress(small, 16, 16);
    ASSERT_FALSE(small_alone.empty());
    ASSERT_GT(large_jpeg.size(), small_alone.size());
    EXPECT_EQ(small_after, small_alone);
}

// The capacity is the whole buffer here; a guard region behind it must stay as it was.
TEST(CompressFrame, TooSmallCapacityFailsWithoutWritingPastIt)
{
    const int width = 48, height = 48;
    bytes frame = noise_frame(width, height, 11);
    bytes transcode(frame.size());
    bytes full = compress(frame, width, height);
    ASSERT_GT(full.size(), 1000u);
    const unsigned int guard = 256;
    for (unsigned int capacity : {1u, 2u, 100u, 600u, static_cast<unsigned int>(full.size()) / 2,
                                  static_cast<unsigned int>(full.size()) - 1, static_cast<unsigned int>(full.size())}) {
        bytes out(capacity + guard, 0x5A);
        unsigned int size = 4321;
        EXPECT_FALSE(compress_frame(frame.data(), out.data(), transcode.data(), static_cast<int>(capacity), &size,
                                    width, height)) << capacity;
        EXPECT_EQ(size, 4321u);
        for (unsigned int i = capacity; i < out.size(); i++)
            ASSERT_EQ(out[i], 0x5A) << "capacity " << capacity << " byte " << i;
        // An exact heap block as well, so the address sanitizer sees any write past it.
        auto* exact = static_cast<unsigned char*>(std::malloc(capacity));
        EXPECT_FALSE(compress_frame(frame.data(), exact, transcode.data(), static_cast<int>(capacity), &size, width, height));
        std::free(exact);
    }
    unsigned int size = 0;
    EXPECT_FALSE(compress_frame(frame.data(), nullptr, transcode.data(), 0, &size, width, height)) << "no room at all";
    EXPECT_FALSE(compress_frame(frame.data(), nullptr, transcode.data(), -5, &size, width, height));
    bytes room(full.size() + 1);
    ASSERT_TRUE(compress_frame(frame.data(), room.data(), transcode.data(), static_cast<int>(room.size()), &size, width, height));
    ASSERT_EQ(size, full.size());
    EXPECT_TRUE(std::equal(full.begin(), full.end(), room.begin()));
}

TEST(CompressFrame, LibraryErrorIsLoggedAndTheProgramRunsOn)
{
    std::string path = testing::TempDir() + std::to_string(getpid()) + "_compress_error_log.txt";
    log_restart(path.c_str());
    const int width = 65501;  // one more than the library encodes
    bytes frame = uniform_frame(width, 1, 5, 5, 5, 5);
    bytes transcode(frame.size());
    bytes out(4096);
    unsigned int size = 17;
    EXPECT_FALSE(compress_frame(frame.data(), out.data(), transcode.data(), 4096, &size, width, 1));
    EXPECT_EQ(size, 17u);
    EXPECT_NE(read_file(path).find("Compress - Maximum supported image dimension is 65500 pixels"), std::string::npos);
    EXPECT_FALSE(compress(uniform_frame(8, 8, 1, 2, 3, 4), 8, 8).empty()) << "the next compression works";
}

TEST(ImageMessage, HeaderIsBigEndianWidthHeightAndLength)
{
    unsigned char header[image_header_size + 1];
    header[image_header_size] = 0xEE;
    image_message_header(header, 320, 240, 513);
    EXPECT_EQ(bytes(header, header + image_header_size + 1),
              (bytes{0x60, 0x01, 0x40, 0x00, 0xF0, 0x00, 0x00, 0x02, 0x01, 0xEE}));
    EXPECT_EQ(image_header_size + 513, 522u);

    image_message_header(header, 65536 + 320, 65536 * 3 + 240, 0x0A0B0C0Du);
    EXPECT_EQ(bytes(header, header + image_header_size),
              (bytes{0x60, 0x01, 0x40, 0x00, 0xF0, 0x0A, 0x0B, 0x0C, 0x0D}));
}

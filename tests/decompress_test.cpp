// JPEG decoding from memory: row order, mirroring, sizes that do not match the array, damaged streams.
#include "imaging/decompress.h"

#include "services/log.h"
#include "test_jpeg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr color_type sentinel{7, 77, 177, 0xAB};

struct decode_case {
    std::vector<color_type> image;
    unsigned int width;
    unsigned int height;
    std::string log_path;

    decode_case(unsigned int w = 160, unsigned int h = 120) : image(static_cast<size_t>(w) * h, sentinel), width(w), height(h)
    {
        log_path = testing::TempDir() + std::to_string(getpid()) + "_decompress_log.txt";
        log_restart(log_path.c_str());
    }
    bool decode(const std::vector<unsigned char>& jpeg, size_t size = SIZE_MAX)
    {
        size = std::min(size, jpeg.size());
        return decompress_image(reinterpret_cast<const char*>(jpeg.data()), static_cast<unsigned int>(size), image.data(),
                                width, height);
    }
    const color_type& at(unsigned int x, unsigned int y) const { return image[static_cast<size_t>(y) * width + x]; }
    bool untouched(unsigned int x, unsigned int y) const
    {
        const color_type& p = at(x, y);
        return p.blue == sentinel.blue && p.green == sentinel.green && p.red == sentinel.red;
    }
    std::string log_text() const
    {
        std::ifstream in(log_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

::testing::AssertionResult near(const color_type& p, int red, int green, int blue, int tolerance = 6)
{
    if (std::abs(p.red - red) <= tolerance && std::abs(p.green - green) <= tolerance && std::abs(p.blue - blue) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << int(p.red) << ", " << int(p.green) << ", " << int(p.blue)
                                         << "), expected (" << red << ", " << green << ", " << blue << ")";
}

// Top-left red, top-right green, bottom-left blue, bottom-right white.
std::vector<unsigned char> quadrants(int width, int height)
{
    return test_jpeg::make(width, height, 3, [=](int x, int y, unsigned char* s) {
        bool left = x < width / 2, top = y < height / 2;
        s[0] = (top && left) || (!top && !left) ? 255 : 0;
        s[1] = (top && !left) || (!top && !left) ? 255 : 0;
        s[2] = !top ? 255 : 0;
    });
}

} // namespace

TEST(Decompress, ColourRowsAreMirroredAndEveryRecordIsWrittenButReserved)
{
    decode_case c;
    EXPECT_TRUE(c.decode(quadrants(160, 120)));
    EXPECT_TRUE(near(c.at(159, 0), 255, 0, 0)) << "the JPEG's top-left pixel lands in record 159";
    EXPECT_TRUE(near(c.at(0, 0), 0, 255, 0)) << "the top-right pixel in record 0";
    EXPECT_TRUE(near(c.at(159, 119), 0, 0, 255)) << "row 119 holds the JPEG's bottom row";
    EXPECT_TRUE(near(c.at(0, 119), 255, 255, 255));
    for (unsigned int y = 0; y < c.height; y++)
        for (unsigned int x = 0; x < c.width; x++) {
            ASSERT_FALSE(c.untouched(x, y)) << x << ", " << y;
            ASSERT_EQ(c.at(x, y).reserved, 0xAB) << x << ", " << y;
        }
}

TEST(Decompress, GrayscaleRowsAreNotMirrored)
{
    decode_case c;
    auto jpeg = test_jpeg::make(160, 120, 1, [](int x, int, unsigned char* s) { s[0] = static_cast<unsigned char>(x); });
    EXPECT_TRUE(c.decode(jpeg));
    for (unsigned int y : {0u, 60u, 119u})
        for (unsigned int x = 0; x < 160; x++) {
            const color_type& p = c.at(x, y);
            ASSERT_TRUE(near(p, static_cast<int>(x), static_cast<int>(x), static_cast<int>(x), 4)) << x << ", " << y;
            ASSERT_TRUE(p.red == p.green && p.green == p.blue);
            ASSERT_EQ(p.reserved, 0xAB);
        }
}

TEST(Decompress, ImageSizesThatDoNotMatchTheArray)
{
    {
        decode_case c;
        EXPECT_FALSE(c.decode(test_jpeg::solid(160, 240, 255, 0, 0))) << "240 rows cannot go into 120";
        for (unsigned int i = 0; i < c.image.size(); i++)
            ASSERT_TRUE(c.untouched(i % 160, i / 160)) << i;
        EXPECT_NE(c.log_text().find("skipped"), std::string::npos);
    }
    {
        decode_case c;
        EXPECT_TRUE(c.decode(test_jpeg::solid(160, 100, 255, 0, 0)));
        for (unsigned int y = 0; y < 120; y++)
            for (unsigned int x = 0; x < 160; x++)
                ASSERT_TRUE(y < 100 ? near(c.at(x, y), 255, 0, 0) : ::testing::AssertionResult(c.untouched(x, y)))
                    << x << ", " << y;
    }
    {
        // 320 wide: columns 0 to 159 carry their own number in red, the right half is blue.
        decode_case c;
        auto jpeg = test_jpeg::make(320, 120, 3, [](int x, int, unsigned char* s) {
            s[0] = x < 160 ? static_cast<unsigned char>(x) : 0;
            s[1] = 0;
            s[2] = x < 160 ? 0 : 255;
        });
        EXPECT_TRUE(c.decode(jpeg));
        for (unsigned int x = 4; x < 160; x++)
            ASSERT_TRUE(near(c.at(x, 50), static_cast<int>(159 - x), 0, 0, 8)) << "record " << x;
    }
}

TEST(Decompress, NarrowerImageWritesOnlyItsOwnColumns)
{
    {
        decode_case c;
        EXPECT_TRUE(c.decode(test_jpeg::solid(80, 120, 0, 0, 255)));
        for (unsigned int y = 0; y < 120; y++)
            for (unsigned int x = 0; x < 160; x++)
                ASSERT_TRUE(x >= 80 ? near(c.at(x, y), 0, 0, 255) : ::testing::AssertionResult(c.untouched(x, y)))
                    << "colour, mirrored against the full width: " << x << ", " << y;
    }
    {
        decode_case c;
        auto jpeg = test_jpeg::make(80, 120, 1, [](int, int, unsigned char* s) { s[0] = 200; });
        EXPECT_TRUE(c.decode(jpeg));
        for (unsigned int y = 0; y < 120; y++)
            for (unsigned int x = 0; x < 160; x++)
                ASSERT_TRUE(x < 80 ? near(c.at(x, y), 200, 200, 200) : ::testing::AssertionResult(c.untouched(x, y)))
                    << "grayscale: " << x << ", " << y;
    }
}

TEST(Decompress, FourComponentImageIsSkippedWithALogLine)
{
    decode_case c;
    auto jpeg = test_jpeg::make(160, 120, 4, [](int, int, unsigned char* s) { s[0] = s[1] = s[2] = s[3] = 100; });
    EXPECT_FALSE(c.decode(jpeg));
    for (unsigned int i = 0; i < c.image.size(); i++)
        ASSERT_TRUE(c.untouched(i % 160, i / 160)) << i;
    EXPECT_NE(c.log_text().find("Decompress - Image with 4 components: skipped"), std::string::npos) << c.log_text();
}

TEST(Decompress, CorruptStreamsReturnFalseAndTheProgramRunsOn)
{
    decode_case c;
    std::vector<unsigned char> garbage(3000);
    for (size_t i = 0; i < garbage.size(); i++)
        garbage[i] = static_cast<unsigned char>(i * 7919 >> 3);
    EXPECT_FALSE(c.decode(garbage));
    EXPECT_FALSE(c.decode({}));
    EXPECT_FALSE(decompress_image(nullptr, 100, c.image.data(), 160, 120));

    // A frame header with a sample precision the decoder does not know.
    auto jpeg = quadrants(160, 120);
    for (size_t i = 0; i + 4 < jpeg.size(); i++)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 4] = 12;
            break;
        }
    EXPECT_FALSE(c.decode(jpeg));

    // A marker segment announcing more bytes than the stream holds: the skip ends at the data's end.
    std::vector<unsigned char> long_segment = {0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 1, 2, 3, 4};
    EXPECT_FALSE(c.decode(long_segment));
    EXPECT_NE(c.log_text().find("Decompress - Error: "), std::string::npos) << c.log_text();
    for (unsigned int i = 0; i < c.image.size(); i++)
        ASSERT_TRUE(c.untouched(i % 160, i / 160)) << i;
}

TEST(Decompress, TruncatedStreamEndsWithWhatItHas)
{
    auto jpeg = quadrants(160, 120);
    {
        decode_case c;
        EXPECT_FALSE(c.decode(jpeg, jpeg.size() * 6 / 10));
        EXPECT_TRUE(near(c.at(159, 0), 255, 0, 0)) << "rows before the cut are decoded";
        EXPECT_TRUE(near(c.at(0, 0), 0, 255, 0));
        EXPECT_NE(c.log_text().find("Decompress - Warning: "), std::string::npos) << c.log_text();
    }
    {
        decode_case c;
        EXPECT_FALSE(c.decode(jpeg, 30)) << "cut inside the headers";
        for (unsigned int i = 0; i < c.image.size(); i++)
            ASSERT_TRUE(c.untouched(i % 160, i / 160)) << i;
    }
    {
        decode_case c;
        EXPECT_FALSE(c.decode(jpeg, jpeg.size() - 2)) << "only the end-of-image marker missing";
        EXPECT_TRUE(near(c.at(159, 119), 0, 0, 255));
    }
}

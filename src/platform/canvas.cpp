// The off-screen picture: plain 32-bit pixels in memory, clipped drawing, and text from the text renderer.
#include "platform/canvas.h"

#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

struct canvas_type {
    int width;
    int height;
    bool draws;                      // false: every drawing call returns at once
    std::vector<uint32_t> pixels;    // row after row, top row first
};

canvas_type* canvas_create(int width, int height, bool draws)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    auto* canvas = new canvas_type{width, height, draws, {}};
    if (draws)
        canvas->pixels.assign(static_cast<size_t>(width) * height, 0xFFFFFF);
    return canvas;
}

void canvas_destroy(canvas_type* canvas)
{
    delete canvas;
}

int canvas_width(const canvas_type* canvas)
{
    return canvas->width;
}

int canvas_height(const canvas_type* canvas)
{
    return canvas->height;
}

bool canvas_draws(const canvas_type* canvas)
{
    return canvas->draws;
}

void canvas_fill_rect(canvas_type* canvas, int x1, int y1, int x2, int y2, uint32_t colour)
{
    if (!canvas->draws)
        return;
    x1 = std::clamp(x1, 0, canvas->width);
    y1 = std::clamp(y1, 0, canvas->height);
    x2 = std::clamp(x2, 0, canvas->width);
    y2 = std::clamp(y2, 0, canvas->height);
    if (x2 <= x1 || y2 <= y1)
        return;
    // One row pixel by pixel, the others copied from it: memcpy moves whole vectors at a time, which
    // matters for a full-window clear every 10 ms.
    uint32_t* first = canvas->pixels.data() + static_cast<size_t>(y1) * canvas->width + x1;
    size_t count = static_cast<size_t>(x2 - x1);
    std::fill_n(first, count, colour);
    for (int y = y1 + 1; y < y2; y++)
        std::memcpy(first + static_cast<size_t>(y - y1) * canvas->width, first, count * sizeof(uint32_t));
}

void canvas_rectangle(canvas_type* canvas, int x1, int y1, int x2, int y2, uint32_t border, uint32_t fill)
{
    if (!canvas->draws || x2 <= x1 || y2 <= y1)
        return;
    canvas_fill_rect(canvas, x1, y1, x2, y2, border);
    canvas_fill_rect(canvas, x1 + 1, y1 + 1, x2 - 1, y2 - 1, fill);
}

void canvas_text(canvas_type* canvas, int x, int y, const char* text)
{
    if (!canvas->draws)
        return;
    auto bitmap = text_render(text);
    if (bitmap == nullptr)
        return;
    int rows = std::min(bitmap->height, canvas->height - y);
    int first_col = std::max(0, -x);
    int cols = std::min(bitmap->width, canvas->width - x) - first_col;
    if (cols <= 0)
        return;
    for (int row = std::max(0, -y); row < rows; row++)
        std::memcpy(canvas->pixels.data() + static_cast<size_t>(y + row) * canvas->width + x + first_col,
                    bitmap->pixels.data() + static_cast<size_t>(row) * bitmap->width + first_col,
                    static_cast<size_t>(cols) * sizeof(uint32_t));
}

void canvas_stretch_image(canvas_type* canvas, int x, int y, int width, int height, const uint32_t* pixels,
                          int source_width, int source_height)
{
    if (!canvas->draws || pixels == nullptr || width <= 0 || height <= 0 || source_width <= 0 || source_height <= 0)
        return;
    int first_col = std::max(0, -x);
    int last_col = std::min(width, canvas->width - x);  // exclusive
    if (last_col <= first_col)
        return;
    std::vector<int> source_col(static_cast<size_t>(last_col - first_col));
    for (int col = first_col; col < last_col; col++)
        source_col[static_cast<size_t>(col - first_col)] = static_cast<int>(static_cast<long long>(col) * source_width / width);
    int previous_row = -1;
    uint32_t* previous = nullptr;
    for (int row = std::max(0, -y); row < height && y + row < canvas->height; row++) {
        // Bottom-up source: its row 0 is drawn at the bottom.
        int source_row = source_height - 1 - static_cast<int>(static_cast<long long>(row) * source_height / height);
        uint32_t* out = canvas->pixels.data() + static_cast<size_t>(y + row) * canvas->width + x + first_col;
        if (source_row == previous_row) {
            std::memcpy(out, previous, source_col.size() * sizeof(uint32_t));  // an enlarged row repeats
            continue;
        }
        const uint32_t* line = pixels + static_cast<size_t>(source_row) * source_width;
        for (size_t i = 0; i < source_col.size(); i++)
            out[i] = line[source_col[i]] & 0xFFFFFF;
        previous_row = source_row;
        previous = out;
    }
}

uint32_t canvas_pixel(const canvas_type* canvas, int x, int y)
{
    if (!canvas->draws || x < 0 || y < 0 || x >= canvas->width || y >= canvas->height)
        return 0;
    return canvas->pixels[static_cast<size_t>(y) * canvas->width + x];
}

const uint32_t* canvas_pixels(const canvas_type* canvas)
{
    return canvas->draws ? canvas->pixels.data() : nullptr;
}

bool canvas_save_ppm(const canvas_type* canvas, const char* filename)
{
    if (!canvas->draws)
        return false;
    FILE* file = std::fopen(filename, "wb");
    if (file == nullptr)
        return false;
    std::fprintf(file, "P6\n%d %d\n255\n", canvas->width, canvas->height);
    for (uint32_t pixel : canvas->pixels) {
        unsigned char rgb[3] = {static_cast<unsigned char>(pixel >> 16), static_cast<unsigned char>(pixel >> 8),
                                static_cast<unsigned char>(pixel)};
        std::fwrite(rgb, 1, 3, file);
    }
    return std::fclose(file) == 0;
}

// Rendered text lines for the canvas: the default font, black on opaque white. Inside the platform layer.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct text_bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;  // 0x00RRGGBB, row after row
};

// The text rendered in the default font; null when the text is empty or no font could be loaded.
// Results are cached, since the same texts are drawn a hundred times a second.
std::shared_ptr<const text_bitmap> text_render(const char* text);

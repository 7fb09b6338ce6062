// An off-screen picture of 32-bit pixels (0x00RRGGBB) and the drawing the display code needs.
#pragma once

#include <cstdint>

struct canvas_type;

inline constexpr uint32_t canvas_rgb(int red, int green, int blue)
{
    return (static_cast<uint32_t>(red & 0xFF) << 16) | (static_cast<uint32_t>(green & 0xFF) << 8) |
           static_cast<uint32_t>(blue & 0xFF);
}

// A canvas that does not draw costs nothing: a headless window has one, since nobody sees it.
canvas_type* canvas_create(int width, int height, bool draws = true);
void canvas_destroy(canvas_type* canvas);
int canvas_width(const canvas_type* canvas);
int canvas_height(const canvas_type* canvas);
bool canvas_draws(const canvas_type* canvas);

// Fills x1 <= x < x2, y1 <= y < y2: the right and bottom edges are left out; clipped to the canvas.
void canvas_fill_rect(canvas_type* canvas, int x1, int y1, int x2, int y2, uint32_t colour);
// A one-pixel border around a filled interior, both inside x1 <= x < x2, y1 <= y < y2.
void canvas_rectangle(canvas_type* canvas, int x1, int y1, int x2, int y2, uint32_t border, uint32_t fill);
// Text in the default font, black on opaque white, its top-left corner at (x, y).
void canvas_text(canvas_type* canvas, int x, int y, const char* text);
// Scales a bottom-up image of source_width x source_height 32-bit pixels into the destination rectangle.
void canvas_stretch_image(canvas_type* canvas, int x, int y, int width, int height, const uint32_t* pixels,
                          int source_width, int source_height);

uint32_t canvas_pixel(const canvas_type* canvas, int x, int y);
const uint32_t* canvas_pixels(const canvas_type* canvas);
// Saves the picture as a binary PPM (tests and screenshots).
bool canvas_save_ppm(const canvas_type* canvas, const char* filename);

// Text rendering with SDL2_ttf in a sans-serif font found through fontconfig.
#include "platform/text.h"

#include <SDL2/SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

constexpr int font_points = 11;         // about 13 pixels high: fits the 16-pixel message line pitch
constexpr size_t cache_limit = 512;     // texts kept rendered

struct text_state_type {
    std::mutex lock;                   // guards everything below
    bool font_tried = false;
    TTF_Font* font = nullptr;
    std::unordered_map<std::string, std::shared_ptr<const text_bitmap>> cache;
};

text_state_type text_state;


std::string find_font_file()
{
    std::string path;
    if (!FcInit())
        return path;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("DejaVu Sans:style=Book"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* file = nullptr;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch)
        path = reinterpret_cast<const char*>(file);
    if (match != nullptr)
        FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return path;
}

void load_font()
{
    text_state.font_tried = true;
    if (TTF_WasInit() == 0 && TTF_Init() != 0)
        return;
    std::string path = find_font_file();
    if (!path.empty())
        text_state.font = TTF_OpenFont(path.c_str(), font_points);
    if (text_state.font == nullptr)
        std::fprintf(stderr, "quillon: no font for the windows' text (%s)\n", path.c_str());
}

std::shared_ptr<const text_bitmap> render(const char* text)
{
    SDL_Color black{0, 0, 0, 255};
    SDL_Color white{255, 255, 255, 255};
    SDL_Surface* rendered = TTF_RenderUTF8_Shaded(text_state.font, text, black, white);
    if (rendered == nullptr)
        return nullptr;
    SDL_Surface* converted = SDL_ConvertSurfaceFormat(rendered, SDL_PIXELFORMAT_RGB888, 0);
    SDL_FreeSurface(rendered);
    if (converted == nullptr)
        return nullptr;
    auto bitmap = std::make_shared<text_bitmap>();
    bitmap->width = converted->w;
    bitmap->height = converted->h;
    bitmap->pixels.resize(static_cast<size_t>(converted->w) * converted->h);
    for (int row = 0; row < converted->h; row++) {
        const auto* line = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(converted->pixels) + row * converted->pitch);
        for (int col = 0; col < converted->w; col++)
            bitmap->pixels[static_cast<size_t>(row) * converted->w + col] = line[col] & 0xFFFFFF;
    }
    SDL_FreeSurface(converted);
    return bitmap;
}

} // namespace

std::shared_ptr<const text_bitmap> text_render(const char* text)
{
    if (text == nullptr || *text == 0)
        return nullptr;
    std::lock_guard<std::mutex> hold(text_state.lock);
    if (!text_state.font_tried)
        load_font();
    if (text_state.font == nullptr)
        return nullptr;
    auto found = text_state.cache.find(text);
    if (found != text_state.cache.end())
        return found->second;
    if (text_state.cache.size() >= cache_limit)
        text_state.cache.clear();
    auto bitmap = render(text);
    if (bitmap != nullptr)
        text_state.cache.emplace(text, bitmap);
    return bitmap;
}

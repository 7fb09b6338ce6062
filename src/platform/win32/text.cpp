// Text rendering with GDI in the default GUI font: each text is drawn black on white into a DIB section
// of its own size and its pixels are kept.
#include "platform/text.h"

#include "platform/win32/internal.h"

#include <mutex>
#include <string>
#include <unordered_map>

namespace {

constexpr size_t cache_limit = 512;     // texts kept rendered

std::mutex text_lock;                   // guards everything below: a device context serves one thread at a time
HDC text_dc = nullptr;                  // memory context with the default GUI font selected
std::unordered_map<std::string, std::shared_ptr<const text_bitmap>> cache;

bool prepare_context()
{
    if (text_dc != nullptr)
        return true;
    text_dc = CreateCompatibleDC(nullptr);
    if (text_dc == nullptr)
        return false;
    SelectObject(text_dc, GetStockObject(DEFAULT_GUI_FONT));
    SetTextColor(text_dc, RGB(0, 0, 0));
    SetBkColor(text_dc, RGB(255, 255, 255));
    SetBkMode(text_dc, OPAQUE);
    return true;
}

// The text as UTF-16, as GDI draws it; the application's texts are UTF-8 (mostly plain ASCII).
std::wstring wide_text(const char* text)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

std::shared_ptr<const text_bitmap> render(const std::wstring& text)
{
    SIZE size{};
    int length = static_cast<int>(text.size());
    if (!GetTextExtentPoint32W(text_dc, text.c_str(), length, &size) || size.cx <= 0 || size.cy <= 0)
        return nullptr;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = -size.cy;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(text_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr || bits == nullptr)
        return nullptr;
    HGDIOBJ previous = SelectObject(text_dc, bitmap);
    RECT area{0, 0, size.cx, size.cy};
    ExtTextOutW(text_dc, 0, 0, ETO_OPAQUE, &area, text.c_str(), static_cast<UINT>(length), nullptr);
    GdiFlush();
    auto result = std::make_shared<text_bitmap>();
    result->width = size.cx;
    result->height = size.cy;
    result->pixels.resize(static_cast<size_t>(size.cx) * size.cy);
    const auto* pixels = static_cast<const uint32_t*>(bits);
    for (size_t i = 0; i < result->pixels.size(); i++)
        result->pixels[i] = pixels[i] & 0xFFFFFF;
    SelectObject(text_dc, previous);
    DeleteObject(bitmap);
    return result;
}

} // namespace

std::shared_ptr<const text_bitmap> text_render(const char* text)
{
    if (text == nullptr || *text == 0)
        return nullptr;
    std::lock_guard<std::mutex> hold(text_lock);
    auto found = cache.find(text);
    if (found != cache.end())
        return found->second;
    if (!prepare_context())
        return nullptr;
    std::wstring wide = wide_text(text);
    if (wide.empty())
        return nullptr;
    if (cache.size() >= cache_limit)
        cache.clear();
    auto bitmap = render(wide);
    if (bitmap != nullptr)
        cache.emplace(text, bitmap);
    return bitmap;
}

// Assembling the page from the built-in files.
#include "web/web_page.h"

namespace {

// Replaces the marker found at `at` by the element holding the content.
void set_into(std::string& page, size_t at, std::string_view marker, std::string_view open,
              std::string_view content, std::string_view close)
{
    if (at == std::string::npos)
        return;
    std::string element;
    element.reserve(open.size() + content.size() + close.size());
    element.append(open).append(content).append(close);
    page.replace(at, marker.size(), element);
}

} // namespace

std::string_view web_asset(std::string_view name)
{
    for (size_t i = 0; i < web_asset_count; i++)
        if (name == web_assets[i].name)
            return std::string_view(reinterpret_cast<const char*>(web_assets[i].data), web_assets[i].size);
    return std::string_view();
}

std::string web_page()
{
    std::string page(web_asset("index.html"));
    constexpr std::string_view css_marker = "<!-- console.css -->", js_marker = "<!-- console.js -->";
    size_t css_at = page.find(css_marker), js_at = page.find(js_marker);
    // Both markers are found in the document itself, and the later one is replaced first, so nothing in
    // the inserted files is ever taken for a marker.
    if (css_at != std::string::npos && js_at != std::string::npos && css_at > js_at) {
        set_into(page, css_at, css_marker, "<style>", web_asset("console.css"), "</style>");
        set_into(page, js_at, js_marker, "<script>", web_asset("console.js"), "</script>");
    } else {
        set_into(page, js_at, js_marker, "<script>", web_asset("console.js"), "</script>");
        set_into(page, css_at, css_marker, "<style>", web_asset("console.css"), "</style>");
    }
    return page;
}

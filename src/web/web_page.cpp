// Assembling the page from the built-in files.
#include "web/web_page.h"

#include <algorithm>
#include <iterator>

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
    struct part_type {
        std::string_view marker, open, asset, close;
        size_t at;
    };
    part_type parts[] = {{"<!-- console.css -->", "<style>", "console.css", "</style>", 0},
                         {"<!-- console.js -->", "<script>", "console.js", "</script>", 0},
                         {"<!-- video.js -->", "<script>", "video.js", "</script>", 0}};
    for (part_type& part : parts)
        part.at = page.find(part.marker);
    // The markers are found in the document itself and replaced from the last one back, so nothing in the
    // inserted files is ever taken for a marker.
    std::sort(std::begin(parts), std::end(parts), [](const part_type& a, const part_type& b) {
        return a.at != std::string::npos && (b.at == std::string::npos || a.at > b.at);
    });
    for (const part_type& part : parts)
        set_into(page, part.at, part.marker, part.open, web_asset(part.asset), part.close);
    return page;
}

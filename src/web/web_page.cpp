// Assembling the page from the built-in files.
#include "web/web_page.h"

#include <vector>

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

bool ends_with(std::string_view text, std::string_view end)
{
    return text.size() > end.size() && text.substr(text.size() - end.size()) == end;
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
    // Every marker is found in the document itself before anything is set in, and they are replaced from
    // the last one back, so nothing in an inserted file is ever taken for a marker.
    struct marker_type {
        size_t at;
        std::string name;
    };
    std::vector<marker_type> markers;
    constexpr std::string_view open = "<!-- ", close = " -->";
    for (size_t at = page.find(open); at != std::string::npos; at = page.find(open, at + 1)) {
        size_t end = page.find(close, at + open.size());
        if (end == std::string::npos)
            break;
        std::string name = page.substr(at + open.size(), end - at - open.size());
        if ((ends_with(name, ".css") || ends_with(name, ".js")) && !web_asset(name).empty())
            markers.push_back({at, name});
    }
    for (auto marker = markers.rbegin(); marker != markers.rend(); ++marker) {
        bool css = ends_with(marker->name, ".css");
        std::string text = std::string(open) + marker->name + std::string(close);
        set_into(page, marker->at, text, css ? "<style>" : "<script>", web_asset(marker->name),
                 css ? "</style>" : "</script>");
    }
    return page;
}

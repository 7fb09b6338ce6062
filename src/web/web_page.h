// The web console's page, built into the program: the files of src/web/page as byte arrays, and the one
// document served at "/" with the style sheet and the script set into it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct web_asset_type {
    const char* name;            // file name, for example "index.html"
    const unsigned char* data;
    size_t size;
};

extern const web_asset_type web_assets[];  // generated at build time by embed_assets.cmake
extern const size_t web_asset_count;

// The named file's bytes; empty when there is no such file.
std::string_view web_asset(std::string_view name);

// index.html with each marker line naming a style sheet or script of the page ("<!-- console.css -->",
// "<!-- stick.js -->") replaced by that file in a <style> or <script> element, so the page needs one request.
std::string web_page();

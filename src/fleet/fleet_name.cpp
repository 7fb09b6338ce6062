// The name rule: 1 to 64 bytes of UTF-8 without topic wildcards, separators, control characters, or the
// invisible characters that would make two names look alike or turn the page's text around.
#include "fleet/fleet_name.h"

#include <cstdint>

namespace {

// The code point that starts at text[at], and its length in `used`; -1 for anything that is not
// shortest-form UTF-8 of a scalar value.
int32_t next_code_point(std::string_view text, size_t at, size_t& used)
{
    unsigned char lead = static_cast<unsigned char>(text[at]);
    int32_t point;
    int32_t least;
    if (lead < 0x80) {
        used = 1;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        used = 2, point = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        used = 3, point = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        used = 4, point = lead & 0x07, least = 0x10000;
    } else {
        return -1;
    }
    if (at + used > text.size())
        return -1;
    for (size_t i = 1; i < used; i++) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return -1;
        point = (point << 6) | (next & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return -1;
    return point;
}

bool control(int32_t point)
{
    return point < 0x20 || (point >= 0x7F && point <= 0x9F);
}

// Zero-width characters, direction marks, embeddings, overrides and isolates, the byte-order mark, line
// and paragraph separators, and the noncharacters.
bool invisible(int32_t point)
{
    return (point >= 0x200B && point <= 0x200F) || (point >= 0x2028 && point <= 0x202E) ||
           (point >= 0x2060 && point <= 0x2069) || point == 0xFEFF || point == 0x00AD ||
           (point >= 0xFDD0 && point <= 0xFDEF) || (point & 0xFFFE) == 0xFFFE;
}

} // namespace

const char* fleet_name_fault(std::string_view name)
{
    if (name.empty() || name.size() > fleet_name_max)
        return "must be 1 to 64 bytes long";
    for (size_t at = 0, used = 0; at < name.size(); at += used) {
        int32_t point = next_code_point(name, at, used);
        if (point < 0)
            return "is not UTF-8";
        if (point == '/' || point == '+' || point == '#')
            return "has '/', '+' or '#'";
        if (control(point))
            return "has a control character";
        if (invisible(point))
            return "has an invisible or direction-changing character";
    }
    return nullptr;
}

// A streaming JSON parser (Boost.JSON's basic_parser) with a handler that only follows the top level's
// keys: the value of "type" is kept while it is short enough to be "stop", everything else is passed by.
#include "web/web_stop_scan.h"

#include <boost/json/basic_parser_impl.hpp>

#include <cstdint>
#include <string>

namespace {

constexpr size_t short_text = 8;  // longer keys and values cannot be "type" or "stop"

struct stop_handler {
    static constexpr size_t max_object_size = SIZE_MAX;
    static constexpr size_t max_array_size = SIZE_MAX;
    static constexpr size_t max_key_size = SIZE_MAX;
    static constexpr size_t max_string_size = SIZE_MAX;

    int depth = 0;          // 1 inside the top-level object
    bool type_key = false;  // the top-level key just read is "type"
    std::string text;       // the key or value being read, up to short_text bytes
    bool found = false;     // a top-level "type" was "stop"

    void gather(std::string_view part)
    {
        if (depth == 1 && text.size() <= short_text)
            text.append(part.substr(0, short_text + 1 - text.size()));
    }
    bool on_document_begin(boost::system::error_code&) { return true; }
    bool on_document_end(boost::system::error_code&) { return true; }
    bool on_object_begin(boost::system::error_code&) { return ++depth, true; }
    bool on_object_end(size_t, boost::system::error_code&) { return --depth, true; }
    bool on_array_begin(boost::system::error_code&) { return ++depth, true; }
    bool on_array_end(size_t, boost::system::error_code&) { return --depth, true; }
    bool on_key_part(std::string_view part, size_t, boost::system::error_code&) { return gather(part), true; }
    bool on_key(std::string_view part, size_t, boost::system::error_code&)
    {
        gather(part);
        type_key = depth == 1 && text == "type";
        text.clear();
        return true;
    }
    bool on_string_part(std::string_view part, size_t, boost::system::error_code&)
    {
        if (type_key)
            gather(part);
        return true;
    }
    bool on_string(std::string_view part, size_t, boost::system::error_code&)
    {
        if (type_key) {
            gather(part);
            found |= depth == 1 && text == "stop";
        }
        return value_done();
    }
    bool value_done() { return type_key = false, text.clear(), true; }
    bool on_number_part(std::string_view, boost::system::error_code&) { return true; }
    bool on_int64(int64_t, std::string_view, boost::system::error_code&) { return value_done(); }
    bool on_uint64(uint64_t, std::string_view, boost::system::error_code&) { return value_done(); }
    bool on_double(double, std::string_view, boost::system::error_code&) { return value_done(); }
    bool on_bool(bool, boost::system::error_code&) { return value_done(); }
    bool on_null(boost::system::error_code&) { return value_done(); }
    bool on_comment_part(std::string_view, boost::system::error_code&) { return true; }
    bool on_comment(std::string_view, boost::system::error_code&) { return true; }
};

boost::json::parse_options scan_options()
{
    boost::json::parse_options options;
    options.max_depth = 1024;  // the parser's own memory grows with the depth only
    return options;
}

} // namespace

struct web_stop_scan_class::parser_type {
    boost::json::basic_parser<stop_handler> json{scan_options()};
    bool failed = false;  // not JSON: the rest is not looked at
};

web_stop_scan_class::web_stop_scan_class() : parser(std::make_unique<parser_type>()) {}

web_stop_scan_class::~web_stop_scan_class() = default;

void web_stop_scan_class::feed(std::string_view piece)
{
    if (parser->failed || piece.empty())
        return;
    boost::system::error_code error;
    parser->json.write_some(true, piece.data(), piece.size(), error);
    parser->failed = static_cast<bool>(error);
}

bool web_stop_scan_class::stop() const
{
    return parser->json.handler().found;
}

void web_stop_scan_class::reset()
{
    parser->json.reset();
    parser->json.handler() = stop_handler{};
    parser->failed = false;
}

// Tells a browser's STOP from its first byte to its last, whatever its size or the rest of its form: a
// message is a STOP when its top-level "type" is "stop". Fed in pieces, it holds a few bytes, never the
// message, so a STOP longer than any message limit is still seen.
#pragma once

#include <memory>
#include <string_view>

class web_stop_scan_class {
public:
    web_stop_scan_class();
    ~web_stop_scan_class();
    // The next piece of the message.
    void feed(std::string_view piece);
    // Whether what was fed so far says "type":"stop" at the top level; also when the rest was not JSON.
    bool stop() const;
    // For the next message.
    void reset();

private:
    struct parser_type;
    std::unique_ptr<parser_type> parser;
};

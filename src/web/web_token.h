// The access token of a web page: made from OpenSSL's generator, found in a request's query and compared
// in constant time. The console and the fleet page share it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

constexpr size_t web_token_bytes = 16;  // random bytes of a made token (32 hex digits)

// True when the two strings are equal and the expected one is not empty; the time taken depends on their
// lengths only, never on where they first differ.
bool web_token_equal(std::string_view given, std::string_view expected);

// A token is 8 to 128 characters that need no escaping in an address: letters, digits, "-", "_", ".", "~".
bool web_token_valid(std::string_view token);

// A fresh token of random hex digits; empty when the generator fails.
std::string web_make_token();

// The value of a name in the target's query ("1" for "pictures" in "/ws?pictures=1"), as it stands;
// none when the query has no such name.
std::optional<std::string> web_query_value(std::string_view target, std::string_view name);

// The web pages' access token: made, found and compared.
#include "web/web_token.h"

#include <openssl/rand.h>

#include <cctype>

bool web_token_equal(std::string_view given, std::string_view expected)
{
    // Every byte of the expected token is visited whatever the given one holds.
    unsigned int difference = given.size() == expected.size() ? 0u : 1u;
    for (size_t i = 0; i < expected.size(); i++) {
        unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
        difference |= g ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0 && !expected.empty();
}

bool web_token_valid(std::string_view token)
{
    if (token.size() < 8 || token.size() > 128)
        return false;
    for (char c : token)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.' && c != '~')
            return false;
    return true;
}

std::optional<std::string> web_query_value(std::string_view target, std::string_view name)
{
    size_t question = target.find('?');
    std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return std::nullopt;
}

std::string web_make_token()
{
    unsigned char random[web_token_bytes];
    if (RAND_bytes(random, sizeof random) != 1)
        return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : random) {
        token += digits[byte >> 4];
        token += digits[byte & 0x0F];
    }
    return token;
}

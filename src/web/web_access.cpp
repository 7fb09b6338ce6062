// The web console's access rules: token, origin and browser cap.
#include "web/web_access.h"

#include "services/message_lines.h"
#include "platform/files.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

bool iequal(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// "host[:port]" or "[v6]:port" split into host and port; the default port when none is given. False for
// a port that is not a number.
bool split_authority(std::string_view authority, unsigned int default_port, std::string_view& host, unsigned int& port)
{
    size_t colon = authority.rfind(':');
    size_t bracket = authority.rfind(']');
    port = default_port;
    host = authority;
    if (colon == std::string_view::npos || (bracket != std::string_view::npos && colon < bracket))
        return !host.empty();
    host = authority.substr(0, colon);
    std::string_view digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5)
        return false;
    port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        port = port * 10 + static_cast<unsigned int>(c - '0');
    }
    return !host.empty() && port <= 65535;
}

struct origin_type {
    std::string_view scheme, host;
    unsigned int port = 0;
};

// "http://host[:port]" or "https://...", a trailing slash allowed; false for "null" and other opaque origins.
bool split_origin(std::string_view origin, origin_type& out)
{
    size_t scheme_end = origin.find("://");
    if (scheme_end == std::string_view::npos)
        return false;
    out.scheme = origin.substr(0, scheme_end);
    unsigned int default_port = iequal(out.scheme, "https") ? 443 : iequal(out.scheme, "http") ? 80 : 0;
    std::string_view authority = origin.substr(scheme_end + 3);
    if (!authority.empty() && authority.back() == '/')
        authority.remove_suffix(1);
    return default_port != 0 && split_authority(authority, default_port, out.host, out.port);
}

// A fresh file, private from the moment it exists: never a file or a link someone placed there before.
bool write_token_file(const std::string& path, const std::string& token)
{
    std::string line = token + "\n";
    return file_create_private(path.c_str(), line.data(), line.size());
}

} // namespace

std::string web_request_token(std::string_view target, std::string_view authorization)
{
    if (std::optional<std::string> token = web_query_value(target, "token"))
        return *token;
    std::string_view credentials = trim(authorization);
    if (credentials.size() > 7 && iequal(credentials.substr(0, 7), "Bearer "))
        return std::string(trim(credentials.substr(7)));
    return std::string();
}

std::string_view web_target_path(std::string_view target)
{
    return target.substr(0, target.find('?'));
}

bool web_origin_allowed(std::string_view origin, std::string_view host, bool tls)
{
    if (origin.empty())
        return true;
    origin_type from;
    std::string_view host_host;
    unsigned int host_port = 0;
    if (!split_origin(origin, from) || !split_authority(trim(host), tls ? 443 : 80, host_host, host_port))
        return false;
    return from.port == host_port && iequal(from.host, host_host);
}

bool web_origin_listed(std::string_view origin, const std::vector<std::string>& listed)
{
    origin_type from;
    if (!split_origin(origin, from))
        return false;
    for (const std::string& entry : listed) {
        origin_type allowed;
        if (split_origin(entry, allowed) && iequal(allowed.scheme, from.scheme) && iequal(allowed.host, from.host) &&
            allowed.port == from.port)
            return true;
    }
    return false;
}

bool web_parse_origins(std::string_view words, std::vector<std::string>& out, std::string& error)
{
    std::vector<std::string> origins;
    while (!(words = trim(words)).empty()) {
        std::string_view word = words.substr(0, words.find_first_of(" \t"));
        words.remove_prefix(word.size());
        origin_type parsed;
        if (word == "none")
            continue;
        if (!split_origin(word, parsed) || parsed.host.find('/') != std::string_view::npos) {
            error = std::string(word.substr(0, 100));
            return false;
        }
        origins.emplace_back(word);
    }
    out = std::move(origins);
    return true;
}

int web_access_status(const web_request_facts_type& request, std::string_view token)
{
    if (!web_token_equal(web_request_token(request.target, request.authorization), token))
        return 401;
    // A plain GET of the WebSocket's address tells the page how its upgrade would fare: a browser's
    // WebSocket never learns the status that refused it.
    if (!request.upgrade && web_target_path(request.target) != "/ws")
        return 200;
    bool listed = request.origins != nullptr && web_origin_listed(request.origin, *request.origins);
    if (request.upgrade && !listed && !web_origin_allowed(request.origin, request.host, request.tls))
        return 403;
    if (request.upgrade && !request.foxglove && web_target_path(request.target) != "/ws")
        return 400;
    if (request.browsers >= web_max_browsers)
        return 503;
    return 200;
}

std::string web_load_token(const std::string& path)
{
    std::ifstream existing(path);
    std::string line;
    if (existing) {
        std::getline(existing, line);
        std::string token(trim(line));
        if (web_token_valid(token)) {
            std::error_code error;
            std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::replace, error);
            return token;
        }
        add_line("Web console: %s holds no usable token; making a new one", path.c_str());
        existing.close();
        std::remove(path.c_str());
    }
    std::string token = web_make_token();
    if (token.empty()) {
        add_line("Web console: no random token could be made");
        return token;
    }
    if (!write_token_file(path, token))
        add_line("Web console: unable to keep the token in %s; it holds for this run only", path.c_str());
    return token;
}

std::string web_plain_http_answer(std::string_view request_start)
{
    std::string address = "this address";
    for (size_t at = request_start.find("\r\n"); at != std::string_view::npos; at = request_start.find("\r\n", at + 2)) {
        if (!iequal(request_start.substr(at + 2, 5), "host:"))
            continue;
        size_t end = request_start.find("\r\n", at + 2);
        std::string_view name = trim(request_start.substr(at + 7, end == std::string_view::npos ? 0 : end - at - 7));
        if (!name.empty() && name.size() <= 255 && name.find_first_of("<>\"'& ") == std::string_view::npos)
            address = "https://" + std::string(name) + "/";
        break;
    }
    std::string body = "This console is served over HTTPS only. Open " + address +
                       " (https://, not http://) with the same ?token=.\n";
    return "HTTP/1.1 400 Bad Request\r\nServer: Quillon\r\nContent-Type: text/plain; charset=utf-8\r\n"
           "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

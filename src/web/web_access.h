// Who may use the web console: the access token it keeps and where a request carries it, the origin rule
// for WebSocket upgrades and the cap on browsers.
#pragma once

#include "web/web_token.h"

#include <string>
#include <string_view>
#include <vector>

constexpr int web_max_browsers = 8;         // WebSocket sessions at once; the next one gets 503
constexpr const char* web_hosted_foxglove = "https://app.foxglove.dev";  // allowed unless web_origins says otherwise

// The token a request carries: the value of "token" in the target's query, else the credentials of an
// "Authorization: Bearer" header; empty when it carries none.
std::string web_request_token(std::string_view target, std::string_view authorization);

// The target without its query, for example "/" for "/?token=abc".
std::string_view web_target_path(std::string_view target);

// A WebSocket upgrade may come from a page of this console only: true when the Origin header is absent,
// or its host and port (the scheme's default port when none is given) equal those of the Host header
// (default port 443 with TLS, else 80). Host names compare without regard to case.
bool web_origin_allowed(std::string_view origin, std::string_view host, bool tls);

// True when the origin is one of the listed ones ("https://studio.example:8443"): scheme, host and port
// compare, the scheme's default port standing for none, host names without regard to case.
bool web_origin_listed(std::string_view origin, const std::vector<std::string>& listed);

// The words of a web_origins line: origins such as "https://studio.example:8443" ("none": no other origin).
// False, with the word in error, when one is no http:// or https:// origin.
bool web_parse_origins(std::string_view words, std::vector<std::string>& out, std::string& error);

// The HTTP status that answers a request before anything else is done for it: 401 without the right
// token; then for an upgrade 403 for an origin that is neither the console's own nor listed, 400 for an
// upgrade of any address but "/ws" (the page's) that does not offer the Foxglove subprotocol, and for an
// upgrade or a plain GET of "/ws" 503 when all browser places are taken; 200 when the request may go on.
struct web_request_facts_type {
    std::string_view target;          // the request target, query included
    std::string_view authorization;   // the Authorization header, or empty
    std::string_view origin;          // the Origin header, or empty
    std::string_view host;            // the Host header
    bool upgrade = false;             // a WebSocket upgrade
    bool tls = false;                 // the console is served over TLS
    int browsers = 0;                 // WebSocket sessions open now
    bool foxglove = false;            // the upgrade offers the Foxglove subprotocol
    const std::vector<std::string>* origins = nullptr;  // allowed besides the console's own
};
int web_access_status(const web_request_facts_type& request, std::string_view token);

// The token kept in the file (mode 0600): reused when the file holds one, else made and written there.
// Failures are message lines; the result is empty only when no token could be made at all.
std::string web_load_token(const std::string& path);

// The whole HTTP answer to a plain request that reached a console serving TLS (the request's first bytes
// given): a 400 whose text points to the https:// address, with the request's Host when it names one.
std::string web_plain_http_answer(std::string_view request_start);

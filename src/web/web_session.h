// One browser's connections: the HTTP session that serves the page and checks access, and the WebSocket
// session it becomes, with the registry through which the server reaches every WebSocket session.
#pragma once

#include "platform/window.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What every session of one running console shares; lives as long as the web thread.
struct web_site_type {
    std::string token;                               // the access token
    std::string page;                                // the document served at "/"
    boost::asio::ssl::context* ssl = nullptr;        // TLS only when set
    window_handle window = nullptr;                  // receives the drive messages
    std::vector<std::string> origins;                // pages of other sites that may open a WebSocket
};

// A WebSocket session as the server sees it. Each function is safe from any thread: it posts onto the
// session's strand, and does nothing once the session has gone.
struct web_peer_type {
    std::function<void(std::shared_ptr<const std::string> state_prefix)> send_state;
    std::function<void(std::shared_ptr<const std::string> jpeg)> send_frame;
    std::function<void(std::shared_ptr<const std::string> text)> send_signal;  // the live video's signalling
    std::function<void(std::shared_ptr<const std::string> text)> notify;       // a notice for this browser
    std::function<void(bool hard)> close;  // going away; hard: drop the connection at once
};

// The open WebSocket sessions, by session number.
class web_registry_class {
public:
    uint64_t add(web_peer_type peer);
    void remove(uint64_t id);
    int count();
    uint64_t total();  // sessions ever registered
    std::optional<web_peer_type> find(uint64_t id);
    std::vector<web_peer_type> peers();  // copies, to be called without the lock held

private:
    std::mutex lock;                          // guards the two below
    std::map<uint64_t, web_peer_type> open;   // at most web_max_browsers
    uint64_t next_id = 1;                     // session numbers are never reused
};
// The browsers connected now (the web thread, and the window thread while the console stops).
web_registry_class& web_registry();

// Set while the console stops: closing sessions then tell the window thread nothing.
std::atomic<bool>& web_stopping();
// Connections not (yet) upgraded to WebSocket sessions, for the stop to know whether any is left.
std::atomic<int>& web_http_sessions();

// From any thread, without waiting: the page of that one browser shows the text in its notice line for a
// few seconds (nothing when it has gone).
void web_notice(uint64_t browser_id, const std::string& text);

// Serves one accepted connection: TLS handshake when the site has a context, then HTTP requests until an
// upgrade turns it into a WebSocket session.
void web_session_start(boost::asio::ip::tcp::socket socket, const web_site_type& site);

// The web console: an HTTP and WebSocket server on a thread of its own (the web thread) that shows the
// robot's state and camera to browsers and takes their drive commands. Off unless web_port is set.
#pragma once

#include "platform/window.h"
#include "web/web_access.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

// The configuration keys of the console.
struct web_config_type {
    int port = 0;          // web_port; 0 when absent: no console
    std::string address;   // web_address; empty: every interface
    std::string token;     // web_token; empty: made once and kept in web_token.txt
    std::string cert;      // web_cert: certificate chain (PEM); with web_key, TLS only
    std::string key;       // web_key: private key (PEM)
    std::vector<std::string> origins{web_hosted_foxglove};  // web_origins: pages that may open a WebSocket
    // How often the address comes back on the status display while no browser has connected (not a key).
    std::chrono::milliseconds address_repeat{60000};
};

constexpr const char* web_token_file = "web_token.txt";

// The web_origins key (the rest of its line: origins, or "none"); false for other keys. A word that is no
// origin is a message line, and the key is left as it was.
bool web_origins_key(const char* key, const char* rest, web_config_type& config);

// Starts the console on its thread; drive commands are posted to the window. A failure is a message
// line and the program runs on without the console.
void web_start(window_handle window, const web_config_type& config);
// Closes every browser (going away), waits a bounded time for them, ends the web thread. Idempotent.
void web_stop();
bool web_running();
// The console's address with its token, as announced; empty while there is no console. Any thread.
std::string web_console_url();

// Hands one whole JPEG picture to every watching browser (the newest replaces one not yet sent). Cheap
// and safe from any thread; nothing happens while the console is off or nobody watches.
void web_publish_jpeg(const unsigned char* jpeg, size_t length);

// quillon-fleet's web server (Boost.Beast on one thread, plain or TLS): the fleet page, the robots'
// pictures, and one WebSocket per page carrying the hub's events out and drive and stop commands in.
// It keeps the console's defences: a cap on connections that have not shown the token (the oldest
// ends), 5 s to show it, wrong tokens slowed per address, a pause when accepting fails, and a cap on
// pages, each with bounded data waiting for it.
#pragma once

#include "fleet_hub.h"
#include "web/web_guard.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>

#include <functional>
#include <string>

constexpr int fleet_pages_max = 16;                       // page WebSockets at once; the next one gets 503
constexpr size_t fleet_page_pending_max = 4 * 1024 * 1024;  // bytes waiting for one page before it is closed
constexpr double fleet_page_stall = 15.0;                 // seconds a write to a page may take before it is closed
constexpr int fleet_page_buffer = 256 * 1024;             // bytes of a page socket's send buffer in the kernel

struct fleet_site_type {
    std::string token;                    // every request carries ?token=
    std::string page;                     // the fleet page, one document
    fleet_hub_class* hub = nullptr;
    boost::asio::ssl::context* ssl = nullptr;  // TLS when set
    // Publishes one command on the broker (called on the server's thread).
    std::function<void(const fleet_command_type&)> publish;
    web_gate_class gate;                  // connections that have not shown the token
    web_throttle_class throttle;          // wrong tokens by address
    int pages = 0;                        // page WebSockets open now
};

// The TLS context from a certificate chain and key (PEM), with the console's versions and ciphers;
// false (and a line on standard error) when they do not load.
bool fleet_web_tls(boost::asio::ssl::context& context, const std::string& cert, const std::string& key);
// Listens on address:port; false (and a line on standard error) when it cannot.
bool fleet_web_start(boost::asio::io_context& ioc, const std::string& address, int port, fleet_site_type* site);
// The page, with its style sheet and script set in.
std::string fleet_web_page();

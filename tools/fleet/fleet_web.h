// quillon-fleet's web server (Boost.Beast on one thread): the fleet page, the robots' pictures, and one
// WebSocket per page carrying the hub's events out and drive and stop commands in.
#pragma once

#include "fleet_hub.h"

#include <boost/asio/io_context.hpp>

#include <functional>
#include <string>

struct fleet_site_type {
    std::string token;                   // every request carries ?token=
    std::string page;                    // the fleet page, one document
    fleet_hub_class* hub = nullptr;
    // Publishes one command on the broker (called on the server's thread).
    std::function<void(const fleet_command_type&)> publish;
};

// Listens on address:port; false (and a line on standard error) when it cannot.
bool fleet_web_start(boost::asio::io_context& ioc, const std::string& address, int port, fleet_site_type* site);
// The page, with its style sheet and script set in.
std::string fleet_web_page();

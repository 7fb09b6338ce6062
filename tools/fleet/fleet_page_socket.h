// One fleet page's WebSocket: the hub's events out, newest per robot and topic, and the page's drive and
// stop commands in. A page that lets more than fleet_page_pending_max bytes wait, or whose write takes
// longer than fleet_page_stall, is closed; it comes back with the fleet's newest state when it reconnects.
#pragma once

#include "fleet_web.h"

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

using fleet_request_type = boost::beast::http::request<boost::beast::http::string_body>;

// Takes over the connection of an upgrade that passed every check.
void fleet_page_start(boost::beast::tcp_stream stream, fleet_request_type request, fleet_site_type& site);
void fleet_page_start(boost::beast::ssl_stream<boost::beast::tcp_stream> stream, fleet_request_type request,
                      fleet_site_type& site);

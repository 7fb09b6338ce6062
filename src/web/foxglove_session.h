// One Foxglove client's WebSocket session on the console's port: chosen on upgrade by the
// foxglove.websocket.v1 subprotocol, after the same access checks as a browser's.
#pragma once

#include "web/web_socket.h"

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

// Takes over the connection and accepts the upgrade request (already found acceptable).
void foxglove_session_start(boost::beast::tcp_stream&& stream, web_socket_request request);
void foxglove_session_start(boost::beast::ssl_stream<boost::beast::tcp_stream>&& stream, web_socket_request request);

// What every WebSocket session on the console's port shares, a browser's and a Foxglove client's alike:
// the upgrade, whole messages of any size read in bounded memory, one write at a time from the session's
// outbox, a client that stops reading closed, and everything let go of once the session is over. Each
// protocol derives from it (CRTP) and supplies only what differs:
//   void on_open();                                   the handshake is done
//   void on_message(const std::string& kept, bool binary, uint64_t size);
//                                                     a whole message: its first keep bytes, its size
//   void scan(std::string_view piece);                optional: every piece of every message, in order
//   bool next_write(web_socket_parts& parts, bool& binary);   the next message to write, if any
//   void write_done();                                the write of that message has ended
//   void on_over();                                   once: unregister, release queued work, leave
//   uint64_t session_id() const;                      its number, for the log
//   static constexpr const char* kind_name;           for the log ("browser", "Foxglove client")
#pragma once

#include "services/log.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// A write that has not ended after this long means the client stopped reading: the session is closed.
constexpr auto web_socket_stall_limit = std::chrono::seconds(10);
constexpr size_t web_socket_read_piece = 16384;  // bytes taken from the socket at a time
// The kernel's share of a session's queue: small enough that "newest wins" in the outbox still means
// fresh pictures and telemetry on a slow link, and that a client that stops reading is soon seen.
constexpr int web_socket_send_buffer = 256 * 1024;

using web_socket_parts = std::array<boost::asio::const_buffer, 2>;
using web_socket_request = boost::beast::http::request<boost::beast::http::string_body>;

template <class Derived, class Stream> class web_socket_class : public std::enable_shared_from_this<Derived> {
public:
    explicit web_socket_class(Stream&& stream) : ws(std::move(stream)), stall(ws.get_executor()) {}

    // Runs f(session) on the session's strand, unless the session is over by then; from any thread.
    // Nothing posted keeps an ended session alive for longer than it takes to run.
    template <class F> static void post(const std::weak_ptr<Derived>& weak, F f)
    {
        if (auto self = weak.lock())
            boost::asio::post(self->ws.get_executor(), [self, f = std::move(f)]() mutable {
                if (!self->over)
                    f(*self);
            });
    }

protected:
    // On the connection's strand, with the upgrade request already found acceptable. subprotocol, when
    // given, is named in the answer; a message's first keep bytes are kept for on_message.
    void accept(web_socket_request request, const char* subprotocol, size_t keep_bytes)
    {
        namespace beast = boost::beast;
        namespace websocket = beast::websocket;
        keep = keep_bytes;
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().set_option(
            boost::asio::socket_base::send_buffer_size(web_socket_send_buffer), ignored);
        beast::get_lowest_layer(ws).expires_never();
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.set_option(websocket::stream_base::decorator([subprotocol](websocket::response_type& response) {
            response.set(beast::http::field::server, "Quillon");
            if (subprotocol != nullptr)
                response.set(beast::http::field::sec_websocket_protocol, subprotocol);
        }));
        ws.read_message_max(0);  // no limit: pieces are read, and only the first keep bytes are held
        ws.async_accept(request, beast::bind_front_handler(&web_socket_class::on_accept, this->shared_from_this()));
    }

    // Starts a write when none is in flight and the outbox has one.
    void pump()
    {
        if (!accepted || closing || writing)
            return;
        web_socket_parts parts{};
        bool binary = false;
        if (!derived().next_write(parts, binary))
            return;
        writing = true;
        ws.binary(binary);
        ws.async_write(parts, boost::beast::bind_front_handler(&web_socket_class::on_write, this->shared_from_this()));
        arm_stall();
    }

    // hard: drop the connection at once; otherwise a going-away close after the write in flight.
    void close(bool hard, boost::beast::websocket::close_code code = boost::beast::websocket::close_code::going_away)
    {
        if (hard || !accepted) {
            tear_down();
            return;
        }
        if (closing)
            return;
        closing = true;
        end();
        arm_stall();
        ws.async_close(code, [self = this->shared_from_this()](boost::beast::error_code) {});
    }

    // Closes once what is still queued has been written (a status that says why goes first). The session
    // is over at once: on_over lets go of what need not be written, and nothing more is taken or queued.
    void close_after_queue()
    {
        close_when_idle = true;
        end();
        pump();
        if (!writing)
            close(false, boost::beast::websocket::close_code::policy_error);
    }

    // The session is over (closed, failed, stalled): on_over runs once. Derived destructors call it too.
    void end()
    {
        if (over)
            return;
        over = true;
        derived().on_over();
    }

    bool is_over() const { return over; }
    void scan(std::string_view) {}

    boost::beast::websocket::stream<Stream> ws;

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    void on_accept(boost::beast::error_code error)
    {
        if (error) {
            end();
            return;
        }
        accepted = true;
        derived().on_open();
        read();
    }

    void read()
    {
        ws.async_read_some(buffer, web_socket_read_piece,
                           boost::beast::bind_front_handler(&web_socket_class::on_read, this->shared_from_this()));
    }

    // Any error (the client closed, a time-out) ends the session once its other operations have ended.
    void on_read(boost::beast::error_code error, size_t)
    {
        if (error) {
            end();
            return;
        }
        auto data = buffer.data();
        std::string_view piece(static_cast<const char*>(data.data()), data.size());
        derived().scan(piece);
        if (kept.size() < keep)
            kept.append(piece.substr(0, keep - kept.size()));
        size += piece.size();
        buffer.consume(buffer.size());
        if (ws.is_message_done()) {
            if (!over && !close_when_idle)
                derived().on_message(kept, ws.got_binary(), size);
            kept.clear();
            size = 0;
        }
        if (!torn)
            read();
    }

    void on_write(boost::beast::error_code error, size_t)
    {
        writing = false;
        stall.cancel();
        derived().write_done();
        if (error)
            return;
        pump();
        if (close_when_idle && !writing)
            close(false, boost::beast::websocket::close_code::policy_error);
    }

    // The timer holds the session weakly: it never keeps a session alive.
    void arm_stall()
    {
        stall.expires_after(web_socket_stall_limit);
        std::weak_ptr<Derived> weak = this->weak_from_this();
        stall.async_wait([weak](boost::beast::error_code error) {
            auto self = weak.lock();
            if (error || !self)
                return;
            log_write("Web console: %s %llu read nothing for %lld s; closed", Derived::kind_name,
                static_cast<unsigned long long>(self->session_id()),
                static_cast<long long>(web_socket_stall_limit.count()));
            self->tear_down();
        });
    }

    void tear_down()
    {
        closing = true;
        torn = true;
        stall.cancel();
        boost::beast::error_code ignored;
        boost::beast::get_lowest_layer(ws).socket().close(ignored);
        end();
    }

    boost::asio::steady_timer stall;  // runs while a write or a close is in flight
    boost::beast::flat_buffer buffer;  // the piece just read
    std::string kept;                  // the message's first keep bytes
    size_t keep = 0;
    uint64_t size = 0;                 // bytes of the message read so far
    bool accepted = false;             // the handshake is done: writes may start
    bool writing = false;              // a write is in flight
    bool closing = false;              // a close has begun: no new writes
    bool close_when_idle = false;      // close once the queue is written; take no more messages
    bool torn = false;                 // the socket is closed: no more reads
    bool over = false;                 // on_over has run: posts do nothing
};

// The fleet page's HTTP and WebSocket sessions. Everything runs on the io_context's one thread, so the
// hub and the sessions need no locks; each WebSocket has one write in flight and gathers what arrives
// meanwhile into the next write, a JSON array of events.
#include "fleet_web.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdio>
#include <memory>
#include <optional>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr size_t pending_max = 8 * 1024 * 1024;  // bytes waiting for a slow page before its events drop

// The value of name=... in the target's query, or empty.
std::string query_value(std::string_view target, std::string_view name)
{
    size_t question = target.find('?');
    if (question == std::string_view::npos)
        return std::string();
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return std::string();
}

bool same_token(const std::string& given, const std::string& token)
{
    unsigned char difference = given.size() != token.size();
    for (size_t i = 0; i < token.size(); i++)
        difference |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

class page_socket_class : public std::enable_shared_from_this<page_socket_class> {
public:
    page_socket_class(tcp::socket socket, fleet_site_type* site) : ws(std::move(socket)), site(site) {}

    void start(http::request<http::string_body> request)
    {
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.read_message_max(4096);
        auto self = shared_from_this();
        ws.async_accept(request, [self](beast::error_code error) {
            if (error)
                return;
            std::weak_ptr<page_socket_class> weak = self;
            self->handle = self->site->hub->listen([weak](const std::string& event) {
                if (auto socket = weak.lock())
                    socket->queue(event);
            });
            self->read();
        });
    }

    ~page_socket_class()
    {
        if (handle > 0)
            site->hub->forget(handle);
    }

private:
    void queue(const std::string& event)
    {
        if (pending.size() + event.size() > pending_max)
            return;
        pending += pending.empty() ? "[" : ",";
        pending += event;
        if (!writing)
            write();
    }

    void write()
    {
        if (pending.empty())
            return;
        writing = true;
        sending = std::move(pending);
        sending += "]";
        pending.clear();
        ws.text(true);
        ws.async_write(net::buffer(sending), [self = shared_from_this()](beast::error_code error, size_t) {
            self->writing = false;
            if (!error)
                self->write();
        });
    }

    void read()
    {
        ws.async_read(incoming, [self = shared_from_this()](beast::error_code error, size_t) {
            if (error) {
                self->release();
                return;
            }
            self->take(beast::buffers_to_string(self->incoming.data()));
            self->incoming.consume(self->incoming.size());
            self->read();
        });
    }

    void take(const std::string& text)
    {
        fleet_command_type command = fleet_parse_command(text);
        if (!command.ok)
            return;
        site->publish(command);
        driving = command.topic.ends_with("/drive") && !command.releases ? command.robot : std::string();
    }

    // A page that goes while holding a robot lets go of it.
    void release()
    {
        if (driving.empty())
            return;
        fleet_command_type command;
        command.ok = true;
        command.robot = driving;
        command.topic = "quillon/" + driving + "/drive";
        command.payload = "{\"keys\":\"\"}";
        site->publish(command);
        driving.clear();
    }

    websocket::stream<beast::tcp_stream> ws;
    fleet_site_type* site;
    beast::flat_buffer incoming;
    std::string pending, sending;
    bool writing = false;
    int handle = 0;
    std::string driving;  // the robot this page holds
};

class http_session_class : public std::enable_shared_from_this<http_session_class> {
public:
    http_session_class(tcp::socket socket, fleet_site_type* site) : stream(std::move(socket)), site(site) {}

    void read()
    {
        parser.emplace();
        parser->body_limit(4096);
        stream.expires_after(std::chrono::seconds(30));
        http::async_read(stream, buffer, *parser, [self = shared_from_this()](beast::error_code error, size_t) {
            if (!error)
                self->answer(self->parser->release());
        });
    }

private:
    void answer(http::request<http::string_body> request)
    {
        std::string_view target = request.target();
        if (!same_token(query_value(target, "token"), site->token))
            return reply(request, http::status::unauthorized, "token needed\n", "text/plain");
        if (websocket::is_upgrade(request) && target.starts_with("/ws")) {
            std::string origin(request[http::field::origin]);
            if (!origin.empty() && origin != "http://" + std::string(request[http::field::host]))
                return reply(request, http::status::forbidden, "origin refused\n", "text/plain");
            stream.expires_never();
            std::make_shared<page_socket_class>(stream.release_socket(), site)->start(std::move(request));
            return;
        }
        if (target.starts_with("/picture")) {
            std::string_view jpeg = site->hub->picture(query_value(target, "robot"));
            if (jpeg.empty())
                return reply(request, http::status::not_found, "no picture\n", "text/plain");
            return reply(request, http::status::ok, std::string(jpeg), "image/jpeg");
        }
        if (target == "/" || target.starts_with("/?"))
            return reply(request, http::status::ok, site->page, "text/html; charset=utf-8");
        reply(request, http::status::not_found, "not found\n", "text/plain");
    }

    void reply(const http::request<http::string_body>& request, http::status status, std::string body,
               const char* type)
    {
        auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
        response->set(http::field::content_type, type);
        response->set(http::field::cache_control, "no-store");
        response->keep_alive(request.keep_alive());
        response->body() = std::move(body);
        response->prepare_payload();
        http::async_write(stream, *response, [self = shared_from_this(), response](beast::error_code error, size_t) {
            if (!error && response->keep_alive())
                self->read();
        });
    }

    beast::tcp_stream stream;
    fleet_site_type* site;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
};

void accept(std::shared_ptr<tcp::acceptor> acceptor, fleet_site_type* site)
{
    acceptor->async_accept([acceptor, site](beast::error_code error, tcp::socket socket) {
        if (!error) {
            socket.set_option(tcp::no_delay(true), error);
            std::make_shared<http_session_class>(std::move(socket), site)->read();
        }
        accept(acceptor, site);
    });
}

} // namespace

bool fleet_web_start(net::io_context& ioc, const std::string& address, int port, fleet_site_type* site)
{
    beast::error_code error;
    auto ip = net::ip::make_address(address.empty() ? "0.0.0.0" : address, error);
    auto acceptor = std::make_shared<tcp::acceptor>(ioc);
    tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    if (!error)
        acceptor->open(endpoint.protocol(), error);
    if (!error)
        acceptor->set_option(net::socket_base::reuse_address(true), error);
    if (!error)
        acceptor->bind(endpoint, error);
    if (!error)
        acceptor->listen(net::socket_base::max_listen_connections, error);
    if (error) {
        std::fprintf(stderr, "quillon-fleet: cannot listen on %s:%d (%s)\n", address.c_str(), port,
                     error.message().c_str());
        return false;
    }
    accept(acceptor, site);
    return true;
}

// The fleet page's HTTP sessions, plain or TLS, and the listening socket. Everything runs on the
// io_context's one thread.
#include "fleet_web.h"

#include "fleet_page_socket.h"
#include "web/web_token.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <openssl/ssl.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <type_traits>

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

using tls_stream = beast::ssl_stream<beast::tcp_stream>;

// A TLS handshake, and a request from its first byte to its end, have this long.
constexpr auto request_timeout = std::chrono::seconds(5);
constexpr auto write_timeout = std::chrono::seconds(30);
constexpr auto accept_pause = std::chrono::milliseconds(100);
constexpr double guess_report_period = 60.0;
constexpr const char* tls12_ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                      "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                      "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

double seconds_now()
{
    using namespace std::chrono;
    return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

// Wrong tokens go to standard error once a minute at most, counted.
struct guess_report_type {
    long long count = 0;
    std::string last_address;
    double last_report = -guess_report_period;
};

template <class Stream> class http_session_class : public std::enable_shared_from_this<http_session_class<Stream>> {
public:
    static constexpr bool tls = std::is_same_v<Stream, tls_stream>;

    http_session_class(Stream&& stream, fleet_site_type& site, guess_report_type& guesses)
        : stream(std::move(stream)), site(site), guesses(guesses)
    {
    }
    ~http_session_class() { site.gate.leave(ticket); }

    void start()
    {
        beast::error_code ignored;
        address = beast::get_lowest_layer(stream).socket().remote_endpoint(ignored).address().to_string();
        enter_gate();
        if constexpr (tls) {
            beast::get_lowest_layer(stream).expires_after(request_timeout);
            stream.async_handshake(net::ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code error) {
                if (!error)
                    self->read();
            });
        } else {
            read();
        }
    }

private:
    // Until its request shows the token, the connection counts against the gate; a full gate ends the
    // oldest for a newcomer.
    void enter_gate()
    {
        if (ticket != 0)
            return;
        std::weak_ptr<http_session_class> weak = this->weak_from_this();
        ticket = site.gate.enter([weak] {
            if (auto self = weak.lock())
                net::post(self->stream.get_executor(), [self] {
                    beast::error_code ignored;
                    beast::get_lowest_layer(self->stream).socket().close(ignored);
                });
        });
    }

    void read()
    {
        enter_gate();
        parser.emplace();
        parser->header_limit(8192);
        parser->body_limit(4096);
        beast::get_lowest_layer(stream).expires_after(request_timeout);
        http::async_read(stream, buffer, *parser, [self = this->shared_from_this()](beast::error_code error, size_t) {
            if (!error)
                self->answer(self->parser->release());
        });
    }

    // 200 when the request may go on, else the status that answers it: 429 while the address must
    // wait, 401 without the right token.
    http::status check_token(std::string_view target)
    {
        double now = seconds_now();
        if (!site.throttle.allowed(address, now))
            return http::status::too_many_requests;
        std::string given = web_query_value(target, "token").value_or("");
        if (web_token_equal(given, site.token)) {
            site.throttle.succeeded(address);
            site.gate.leave(ticket);
            ticket = 0;
            return http::status::ok;
        }
        if (!given.empty())
            count_guess(now);
        return http::status::unauthorized;
    }

    void count_guess(double now)
    {
        site.throttle.failed(address, now);
        guesses.count++;
        guesses.last_address = address;
        if (now - guesses.last_report < guess_report_period)
            return;
        std::fprintf(stderr, "quillon-fleet: %lld wrong tokens since the last report, the last from %s\n",
                     guesses.count, address.c_str());
        guesses.count = 0;
        guesses.last_report = now;
    }

    void answer(fleet_request_type request)
    {
        std::string_view target = request.target();
        http::status status = check_token(target);
        if (status != http::status::ok)
            return refuse(request, status);
        if (beast::websocket::is_upgrade(request) && target.starts_with("/ws"))
            return upgrade(std::move(request));
        if (target.starts_with("/picture")) {
            std::string_view jpeg = site.hub->picture(web_query_value(target, "robot").value_or(""));
            if (jpeg.empty())
                return reply(request, http::status::not_found, "no picture\n", "text/plain");
            return reply(request, http::status::ok, std::string(jpeg), "image/jpeg");
        }
        if (target == "/" || target.starts_with("/?"))
            return reply(request, http::status::ok, site.page, "text/html; charset=utf-8");
        reply(request, http::status::not_found, "not found\n", "text/plain");
    }

    void refuse(const fleet_request_type& request, http::status status)
    {
        if (status == http::status::too_many_requests)
            return reply(request, status, "too many wrong tokens from this address: try again later\n", "text/plain");
        reply(request, status, "token needed\n", "text/plain");
    }

    // A page's WebSocket, from a page of this server only and while a place is free.
    void upgrade(fleet_request_type request)
    {
        std::string origin(request[http::field::origin]);
        std::string own = std::string(tls ? "https://" : "http://") + std::string(request[http::field::host]);
        if (!origin.empty() && origin != own)
            return reply(request, http::status::forbidden, "origin refused\n", "text/plain");
        if (site.pages >= fleet_pages_max)
            return reply(request, http::status::service_unavailable, "all page places are taken\n", "text/plain");
        fleet_page_start(std::move(stream), std::move(request), site);
    }

    void reply(const fleet_request_type& request, http::status status, std::string body, const char* type)
    {
        auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
        response->set(http::field::content_type, type);
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        if (status == http::status::too_many_requests)
            response->set(http::field::retry_after, "30");
        response->keep_alive(request.keep_alive() && status == http::status::ok);
        response->body() = std::move(body);
        response->prepare_payload();
        beast::get_lowest_layer(stream).expires_after(write_timeout);
        http::async_write(stream, *response, [self = this->shared_from_this(), response](beast::error_code error, size_t) {
            if (!error && response->keep_alive())
                self->read();
        });
    }

    Stream stream;
    fleet_site_type& site;
    guess_report_type& guesses;
    beast::flat_buffer buffer{16384};
    std::optional<http::request_parser<http::string_body>> parser;  // fresh for every request
    std::string address;   // the peer's, for the slow-down of guessing
    uint64_t ticket = 0;   // in the gate while waiting for a request that shows the token
};

struct listener_type {
    explicit listener_type(net::io_context& ioc) : acceptor(ioc), retry(ioc) {}
    tcp::acceptor acceptor;
    net::steady_timer retry;     // the pause after a failed accept
    fleet_site_type* site = nullptr;
    guess_report_type guesses;
    unsigned long failures = 0;  // failed accepts so far
};

void start_session(tcp::socket socket, listener_type& listener)
{
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    fleet_site_type& site = *listener.site;
    if (site.ssl != nullptr)
        std::make_shared<http_session_class<tls_stream>>(tls_stream(std::move(socket), *site.ssl), site, listener.guesses)
            ->start();
    else
        std::make_shared<http_session_class<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), site,
                                                                listener.guesses)
            ->start();
}

void accept(std::shared_ptr<listener_type> listener)
{
    listener->acceptor.async_accept([listener](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted)
            return;
        if (!error) {
            start_session(std::move(socket), *listener);
            return accept(listener);
        }
        // Out of descriptors, for example: a pause, never a loop that spins.
        if (listener->failures++ % 100 == 0)
            std::fprintf(stderr, "quillon-fleet: accepting a connection failed (%s; %lu times so far)\n",
                         error.message().c_str(), listener->failures);
        listener->retry.expires_after(accept_pause);
        listener->retry.async_wait([listener](beast::error_code e) {
            if (!e)
                accept(listener);
        });
    });
}

} // namespace

bool fleet_web_tls(net::ssl::context& context, const std::string& cert, const std::string& key)
{
    beast::error_code error;
    context.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                            net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1,
                        error);
    if (!error && SSL_CTX_set_cipher_list(context.native_handle(), tls12_ciphers) != 1)
        error = beast::error_code(static_cast<int>(ERR_get_error()), net::error::get_ssl_category());
    if (!error)
        context.use_certificate_chain_file(cert, error);
    if (!error)
        context.use_private_key_file(key, net::ssl::context::pem, error);
    if (error)
        std::fprintf(stderr, "quillon-fleet: unable to load %s and %s (%s)\n", cert.c_str(), key.c_str(),
                     error.message().c_str());
    return !error;
}

bool fleet_web_start(net::io_context& ioc, const std::string& address, int port, fleet_site_type* site)
{
    beast::error_code error;
    auto ip = net::ip::make_address(address.empty() ? "0.0.0.0" : address, error);
    auto listener = std::make_shared<listener_type>(ioc);
    listener->site = site;
    tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    tcp::acceptor& acceptor = listener->acceptor;
    if (!error)
        acceptor.open(endpoint.protocol(), error);
    if (!error)
        acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (!error)
        acceptor.bind(endpoint, error);
    if (!error)
        acceptor.listen(net::socket_base::max_listen_connections, error);
    if (error) {
        std::fprintf(stderr, "quillon-fleet: cannot listen on %s:%d (%s)\n", address.c_str(), port,
                     error.message().c_str());
        return false;
    }
    accept(listener);
    return true;
}

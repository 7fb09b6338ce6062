// The console's connections, plain or TLS alike: each a template over its stream, each on its own strand
// with every pending operation holding the session alive. The HTTP session checks access and serves the
// page and the recordings; an upgrade becomes a browser's session or a Foxglove client's.
#include "web/web_session.h"

#include "services/time.h"
#include "services/log.h"
#include "platform/event_loop.h"
#include "robot/drivers.h"
#include "web/foxglove_hub.h"
#include "web/foxglove_session.h"
#include "web/web_access.h"
#include "web/web_drive_limit.h"
#include "web/web_guard.h"
#include "web/web_messages.h"
#include "web/web_outbox.h"
#include "web/web_recordings.h"
#include "web/web_socket.h"
#include "web/web_stop_scan.h"
#include "web/web_video.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <optional>
#include <type_traits>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;

web_registry_class& web_registry()
{
    static web_registry_class registry;
    return registry;
}

std::atomic<bool>& web_stopping()
{
    static std::atomic<bool> stopping{false};
    return stopping;
}

std::atomic<int>& web_http_sessions()
{
    static std::atomic<int> sessions{0};
    return sessions;
}

namespace {

using plain_stream = beast::tcp_stream;
using tls_stream = beast::ssl_stream<beast::tcp_stream>;
using request_type = http::request<http::string_body>;
using response_type = http::response<http::string_body>;

constexpr auto http_timeout = std::chrono::seconds(30);
// A TLS handshake, and a request from its first byte to the end of its headers and body, have this long:
// a connection that stalls holds its socket no longer.
constexpr auto request_timeout = std::chrono::seconds(5);
constexpr unsigned int header_limit = 8192;
constexpr unsigned int body_limit = 4096;
constexpr size_t buffer_limit = 16384;

const char* token_page =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
    "<title>Quillon console: token needed</title></head>\n<body><h1>Quillon console</h1>\n"
    "<p>This console needs its access token. Open the address that Quillon shows on its status display "
    "(the line <code>Web console: http://&hellip;/?token=&hellip;</code>), "
    "or add <code>?token=</code> and the token to this page's address.</p>\n"
    "<p>The token is the <code>web_token</code> key of Quillon's <code>config.txt</code>; without that key, "
    "Quillon keeps the token it made in <code>web_token.txt</code> in its working folder.</p>\n</body></html>\n";

response_type make_response(const request_type& request, http::status status, std::string body, const char* type)
{
    response_type response{status, request.version()};
    response.set(http::field::server, "Quillon");
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.set(http::field::x_frame_options, "DENY");
    response.set("Referrer-Policy", "no-referrer");
    response.body() = std::move(body);
    response.keep_alive(request.keep_alive() && status == http::status::ok);
    response.prepare_payload();
    return response;
}

// The answer to a request that is not a WebSocket upgrade, or to an upgrade that was refused.
response_type answer(const request_type& request, int status, const web_site_type& site)
{
    if (status == 401) {
        response_type response =
            make_response(request, http::status::unauthorized, token_page, "text/html; charset=utf-8");
        response.set(http::field::www_authenticate, "Bearer realm=\"Quillon console\"");
        return response;
    }
    if (status == 403)
        return make_response(request, http::status::forbidden,
                             "WebSocket from another origin refused (web_origins lists the pages allowed)\n",
                             "text/plain");
    if (status == 400)
        return make_response(request, http::status::bad_request,
                             "This address takes WebSocket upgrades with the foxglove.websocket.v1 subprotocol "
                             "(the console's page uses /ws)\n",
                             "text/plain");
    if (status == 503)
        return make_response(request, http::status::service_unavailable, "All browser places are taken\n",
                             "text/plain");
    if (status == 429) {
        response_type response = make_response(request, http::status::too_many_requests,
                                               "Too many wrong tokens from this address: try again later\n", "text/plain");
        response.set(http::field::retry_after, "30");
        return response;
    }
    if (request.method() != http::verb::get) {
        response_type response = make_response(request, http::status::method_not_allowed, "GET only\n", "text/plain");
        response.set(http::field::allow, "GET");
        return response;
    }
    std::string_view path = web_target_path(request.target());
    if (path == "/ws")
        return make_response(request, http::status::upgrade_required, "A browser place is free\n", "text/plain");
    if (path != "/" && path != "/index.html")
        return make_response(request, http::status::not_found, "Not found\n", "text/plain");
    return make_response(request, http::status::ok, site.page, "text/html; charset=utf-8");
}

// A browser's session: the console's messages on the shared WebSocket machinery. A STOP is looked for in
// every message, whole, before the rate limit or the size limit can refuse it.
template <class Stream> class console_session : public web_socket_class<console_session<Stream>, Stream> {
    using base = web_socket_class<console_session<Stream>, Stream>;
    friend base;

public:
    static constexpr const char* kind_name = "browser";

    explicit console_session(Stream&& stream) : base(std::move(stream)) {}
    ~console_session() { this->end(); }

    void run(request_type request)
    {
        id = web_registry().add(make_peer());
        web_video_join(id, request.target());
        this->accept(std::move(request), nullptr, web_message_max);
    }

    uint64_t session_id() const { return id; }

private:
    web_peer_type make_peer()
    {
        std::weak_ptr<console_session> weak = this->weak_from_this();
        web_peer_type peer;
        peer.send_state = [weak](std::shared_ptr<const std::string> prefix) {
            base::post(weak, [prefix](console_session& s) { s.deliver_state(*prefix); });
        };
        peer.send_frame = [weak](std::shared_ptr<const std::string> jpeg) {
            base::post(weak, [jpeg](console_session& s) { s.deliver_frame(jpeg); });
        };
        peer.send_signal = [weak](std::shared_ptr<const std::string> text) {
            base::post(weak, [text](console_session& s) { s.deliver_signal(*text); });
        };
        peer.notify = [weak](std::shared_ptr<const std::string> text) {
            base::post(weak, [text](console_session& s) { s.notify(*text); });
        };
        peer.close = [weak](bool hard) { base::post(weak, [hard](console_session& s) { s.close(hard); }); };
        return peer;
    }

    void on_open() { this->pump(); }

    void scan(std::string_view piece) { stop_scan.feed(piece); }

    void on_message(const std::string& text, bool binary, uint64_t size)
    {
        bool stop = !binary && stop_scan.stop();
        stop_scan.reset();
        if (stop)
            drivers_stop(driver_kind::browser, id);
        auto now = std::chrono::steady_clock::now();
        if (!limit.take(now)) {
            long closed = 0;
            if (web_drive_limit_note_close(now, &closed))
                log_write("Web console: browser %llu sent more than %d messages a second; closed (%ld such since the last line)",
                    static_cast<unsigned long long>(id), web_message_rate_limit, closed);
            this->close(true);
            return;
        }
        if (stop)
            return;
        if (binary)
            reply("binary messages are not taken");
        else if (size > web_message_max)
            reply("a message may hold at most " + std::to_string(web_message_max) + " bytes");
        else
            take(text);
    }

    void take(const std::string& text)
    {
        if (web_video_take(id, text, [this](std::string message) { deliver_signal(message); }))
            return;
        web_request_type request = web_parse_request(text);
        if (request.kind == web_request_kind::drive) {
            drive_command_type command;
            command.keys = request.keys;
            command.proportional = request.proportional;
            command.forward = request.forward;
            command.turn = request.turn;
            drivers_drive(driver_kind::browser, id, command);
        } else if (request.kind == web_request_kind::stop) {
            drivers_stop(driver_kind::browser, id);
        } else {
            reply(request.error);
        }
    }

    // The session is over: nobody reaches it any more, and the pictures waiting for it go.
    void on_over()
    {
        web_registry().remove(id);
        web_video_leave(id);
        if (!web_stopping())
            drivers_leave(driver_kind::browser, id);
        outbox.release();
    }

    void reply(const std::string& why)
    {
        // A browser that lets replies pile up while it sends more is not reading: it goes.
        if (!outbox.push_reply(web_error_message(why))) {
            this->close(true);
            return;
        }
        this->pump();
    }

    // A notice from the robot; dropped rather than queued past the limit.
    void notify(const std::string& text)
    {
        if (outbox.push_reply(web_notice_message(text)))
            this->pump();
    }

    void deliver_signal(std::string text)
    {
        if (!outbox.push_signal(std::move(text))) {
            this->close(true);
            return;
        }
        this->pump();
    }

    void deliver_state(const std::string& prefix)
    {
        uint64_t driving = 0;
        bool you = drivers_current(&driving) == driver_kind::browser && driving == id;
        outbox.set_state(web_finish_state(prefix, you));
        this->pump();
    }

    void deliver_frame(std::shared_ptr<const std::string> jpeg)
    {
        if (!web_video_pictures_wanted(id))
            return;
        outbox.set_frame(std::move(jpeg));
        this->pump();
    }

    bool next_write(web_socket_parts& parts, bool& binary)
    {
        if (!outbox.start_next())
            return false;
        parts = {net::buffer(*outbox.in_flight().data), net::const_buffer()};
        binary = outbox.in_flight().binary;
        return true;
    }

    void write_done() { outbox.write_done(); }

    web_outbox_class outbox;
    web_drive_limit_class limit;
    web_stop_scan_class stop_scan;  // the message being read: a STOP?
    uint64_t id = 0;                // the session number, once registered
};

template <class Stream> class http_session : public std::enable_shared_from_this<http_session<Stream>> {
public:
    static constexpr bool tls = std::is_same_v<Stream, tls_stream>;

    http_session(Stream&& stream, const web_site_type& site) : stream(std::move(stream)), site(site)
    {
        web_http_sessions()++;
    }
    ~http_session()
    {
        web_gate().leave(ticket);
        web_http_sessions()--;
    }

    void run()
    {
        net::dispatch(stream.get_executor(), beast::bind_front_handler(&http_session::start, this->shared_from_this()));
    }

private:
    void start()
    {
        beast::error_code ignored;
        address = beast::get_lowest_layer(stream).socket().remote_endpoint(ignored).address().to_string();
        enter_gate();
        if constexpr (tls) {
            beast::get_lowest_layer(stream).expires_after(request_timeout);
            beast::async_detect_ssl(beast::get_lowest_layer(stream), buffer,
                                    beast::bind_front_handler(&http_session::on_detect, this->shared_from_this()));
        } else {
            read();
        }
    }

    // Plain HTTP to a TLS console gets a plain answer that points to https://, not a silent close.
    void on_detect(beast::error_code error, bool is_tls)
    {
        if (error)
            return;
        if (!is_tls) {
            auto text = std::make_shared<std::string>(web_plain_http_answer(
                std::string_view(static_cast<const char*>(buffer.data().data()), buffer.size())));
            net::async_write(beast::get_lowest_layer(stream), net::buffer(*text),
                             [self = this->shared_from_this(), text](beast::error_code, size_t) {
                                 beast::error_code ignored;
                                 beast::get_lowest_layer(self->stream).socket().shutdown(
                                     net::ip::tcp::socket::shutdown_send, ignored);
                                 self->drain();
                             });
            return;
        }
        if constexpr (tls)
            stream.async_handshake(net::ssl::stream_base::server, buffer.data(),
                                   beast::bind_front_handler(&http_session::on_handshake, this->shared_from_this()));
    }

    // Reads what the client still sends until it closes, so that closing does not reset the connection
    // before the client has read the answer.
    void drain()
    {
        buffer.consume(buffer.size());
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(2));
        beast::get_lowest_layer(stream).async_read_some(
            buffer.prepare(1024), [self = this->shared_from_this()](beast::error_code error, size_t) {
                if (!error)
                    self->drain();
            });
    }

    void on_handshake(beast::error_code error, size_t used)
    {
        buffer.consume(used);
        if (!error)
            read();
    }

    // Until its request shows the token, the connection counts against the gate; a full gate drops it
    // for a newcomer.
    void enter_gate()
    {
        if (ticket != 0)
            return;
        std::weak_ptr<http_session> weak = this->weak_from_this();
        ticket = web_gate().enter([weak] {
            if (auto self = weak.lock())
                net::post(self->stream.get_executor(), [self] {
                    beast::error_code ignored;
                    beast::get_lowest_layer(self->stream).socket().close(ignored);
                });
        });
    }

    // The access status, with guessing slowed: an address that must wait gets 429 without a look at its token.
    int check_access(const web_request_facts_type& facts)
    {
        double now = get_time();
        if (!web_throttle().allowed(address, now))
            return 429;
        int status = web_access_status(facts, site.token);
        if (status != 401) {
            web_throttle().succeeded(address);
            web_gate().leave(ticket);
            ticket = 0;
        } else if (!web_request_token(facts.target, facts.authorization).empty()) {
            web_throttle().failed(address, now);
        }
        return status;
    }

    void read()
    {
        enter_gate();
        parser.emplace();
        parser->header_limit(header_limit);
        parser->body_limit(body_limit);
        beast::get_lowest_layer(stream).expires_after(request_timeout);
        http::async_read(stream, buffer, *parser,
                         beast::bind_front_handler(&http_session::on_read, this->shared_from_this()));
    }

    // Time-outs, limits and garbage end the connection without an answer.
    void on_read(beast::error_code error, size_t)
    {
        if (error == http::error::end_of_stream) {
            shut_down();
            return;
        }
        if (error)
            return;
        request_type request = parser->release();
        bool upgrade = websocket::is_upgrade(request);
        web_request_facts_type facts;
        facts.target = request.target();
        facts.authorization = request[http::field::authorization];
        facts.origin = request[http::field::origin];
        facts.host = request[http::field::host];
        facts.upgrade = upgrade;
        facts.tls = tls;
        facts.browsers = web_registry().count() + foxglove_hub_count();  // Foxglove clients count as browsers
        facts.foxglove = foxglove_offered(request[http::field::sec_websocket_protocol]);
        facts.origins = &site.origins;
        int status = check_access(facts);
        if (status == 403)
            if (std::string line = web_guard_refused(std::string(facts.origin), get_time()); !line.empty())
                log_write("%s", line.c_str());
        if (status == 200 && upgrade && facts.foxglove) {
            foxglove_session_start(std::move(stream), std::move(request));
            return;
        }
        if (status == 200 && upgrade) {
            std::make_shared<console_session<Stream>>(std::move(stream))->run(std::move(request));
            return;
        }
        if (status == 200 && request.method() == http::verb::get &&
            web_recordings_target(web_target_path(request.target()))) {
            serve_recording(request);
            return;
        }
        write(answer(request, status, site));
    }

    // The list of recordings, or one of them as a download streamed from its file.
    void serve_recording(const request_type& request)
    {
        std::string_view path = web_target_path(request.target());
        if (path == "/recordings") {
            write(make_response(request, http::status::ok, web_recordings_json(), "application/json"));
            return;
        }
        std::string file = web_recording_file(path);
        http::file_body::value_type body;
        beast::error_code error;
        if (!file.empty())
            body.open(file.c_str(), beast::file_mode::scan, error);
        if (file.empty() || error) {
            write(make_response(request, http::status::not_found, "No such recording\n", "text/plain"));
            return;
        }
        uint64_t body_size = body.size();
        http::response<http::file_body> response{std::piecewise_construct, std::make_tuple(std::move(body)),
                                                 std::make_tuple(http::status::ok, request.version())};
        response.set(http::field::server, "Quillon");
        response.set(http::field::content_type, "application/octet-stream");
        response.set(http::field::content_disposition,
                     "attachment; filename=\"" + std::string(path.substr(path.rfind('/') + 1)) + "\"");
        response.set(http::field::cache_control, "no-store");
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        // A slow link gets time for the whole file: 30 s and a second for each 64 KB.
        auto limit = http_timeout + std::chrono::seconds(body_size / 65536);
        write(std::move(response), limit);
    }

    template <class Response> void write(Response response, std::chrono::seconds limit = http_timeout)
    {
        auto held = std::make_shared<Response>(std::move(response));
        // Re-armed before the write: the read's deadline must not fire in the middle of it.
        beast::get_lowest_layer(stream).expires_after(limit);
        http::async_write(stream, *held, [self = this->shared_from_this(), held](beast::error_code error, size_t) {
            if (error)
                return;
            if (held->keep_alive())
                self->read();
            else
                self->shut_down();
        });
    }

    void shut_down()
    {
        if constexpr (tls) {
            beast::get_lowest_layer(stream).expires_after(http_timeout);
            stream.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        } else {
            beast::error_code ignored;
            stream.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
        }
    }

    Stream stream;
    const web_site_type& site;
    beast::flat_buffer buffer{buffer_limit};
    std::optional<http::request_parser<http::string_body>> parser;  // fresh for every request
    std::string address;  // the peer's, for the slow-down of guessing
    uint64_t ticket = 0;  // in the gate while waiting for a request that shows the token
};

} // namespace

uint64_t web_registry_class::add(web_peer_type peer)
{
    std::lock_guard<std::mutex> hold(lock);
    uint64_t id = next_id++;
    open.emplace(id, std::move(peer));
    return id;
}

void web_registry_class::remove(uint64_t id)
{
    std::lock_guard<std::mutex> hold(lock);
    open.erase(id);
}

int web_registry_class::count()
{
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<int>(open.size());
}

uint64_t web_registry_class::total()
{
    std::lock_guard<std::mutex> hold(lock);
    return next_id - 1;
}

std::optional<web_peer_type> web_registry_class::find(uint64_t id)
{
    std::lock_guard<std::mutex> hold(lock);
    auto found = open.find(id);
    if (found == open.end())
        return std::nullopt;
    return found->second;
}

std::vector<web_peer_type> web_registry_class::peers()
{
    std::lock_guard<std::mutex> hold(lock);
    std::vector<web_peer_type> copies;
    copies.reserve(open.size());
    for (const auto& entry : open)
        copies.push_back(entry.second);
    return copies;
}

void web_notice(uint64_t browser_id, const std::string& text)
{
    if (std::optional<web_peer_type> peer = web_registry().find(browser_id))
        peer->notify(std::make_shared<const std::string>(text));
}

void web_session_start(boost::asio::ip::tcp::socket socket, const web_site_type& site)
{
    beast::error_code ignored;
    socket.set_option(net::ip::tcp::no_delay(true), ignored);
    if (site.ssl != nullptr)
        std::make_shared<http_session<tls_stream>>(tls_stream(std::move(socket), *site.ssl), site)->run();
    else
        std::make_shared<http_session<plain_stream>>(plain_stream(std::move(socket)), site)->run();
}

// The web thread: the listening socket, the 20 Hz state message, pictures for every browser, start and a
// bounded stop.
#include "web/web_server.h"

#include "services/threads.h"
#include "services/time.h"
#include "services/log.h"
#include "services/message_lines.h"
#include "imaging/camera.h"
#include "imaging/camera_feed.h"
#include "net/network.h"
#include "platform/socket.h"
#include "robot/drivers.h"
#include "robot/motion.h"
#include "robot/robot.h"
#include "robot/snapshot.h"
#include "web/foxglove_hub.h"
#include "web/web_access.h"
#include "web/web_address.h"
#include "web/web_guard.h"
#include "web/web_messages.h"
#include "web/web_page.h"
#include "web/web_session.h"
#include "platform/capture.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <future>
#include <optional>
#include <thread>

namespace net = boost::asio;
using tcp = net::ip::tcp;


namespace {

constexpr auto state_period = std::chrono::milliseconds(50);
constexpr auto close_grace = std::chrono::milliseconds(300);   // for browsers to answer the going-away
constexpr auto stop_limit = std::chrono::milliseconds(2000);   // should the grace timer not end it
constexpr size_t jpeg_limit = 4 * 1024 * 1024;
// TLS 1.2: forward secrecy (ECDHE) and authenticated encryption (GCM, ChaCha20-Poly1305) only, no CBC and
// no RSA key exchange. TLS 1.3's own suites are all of that kind and stay as OpenSSL sets them.
constexpr const char* tls12_ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                      "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                      "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr size_t token_advised_length = 16;


// One running console. Members are destroyed in reverse order: the io_context, and with it every session
// it still holds, goes before the TLS context and the site that sessions use.
struct server_type {
    web_config_type config;           // the console's keys, as start-up gave them
    web_site_type site;
    std::optional<net::ssl::context> ssl;
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer state_timer{ioc};
    net::steady_timer retry_timer{ioc};
    net::steady_timer grace_timer{ioc};
    net::steady_timer address_timer{ioc};
    std::vector<std::string> urls;    // the console's addresses, for the display
    uint64_t sessions_before = 0;     // browsers registered before this start: more means one came
    double start_time = 0.0;
    int camera_handle = 0;            // web thread: the camera feed's handle while a browser is connected
    std::thread thread;
    std::promise<void> ended;
};

std::unique_ptr<server_type> server;  // written on the window thread only

// What other threads meet: the console's address for the fleet link, and pictures handed out.
struct console_shared_type {
    std::mutex url_lock;              // guards url
    std::string url;                  // what announce said, for the fleet link's status
    std::mutex publish_lock;          // held while a picture is handed out and while the console stops
    bool publishing = false;          // guarded by publish_lock: the io_context takes posts
};

console_shared_type shared;

void accept_next();

void on_accept(boost::system::error_code error, tcp::socket socket)
{
    if (error == net::error::operation_aborted)
        return;
    if (error) {
        // Out of descriptors, for example: a pause, not a busy loop.
        log_write("Web console: accept failed (%s)", error.message().c_str());
        server->retry_timer.expires_after(std::chrono::milliseconds(100));
        server->retry_timer.async_wait([](boost::system::error_code e) {
            if (!e)
                accept_next();
        });
        return;
    }
    web_session_start(std::move(socket), server->site);
    accept_next();
}

void accept_next()
{
    server->acceptor.async_accept(net::make_strand(server->ioc), on_accept);
}

web_state_type gather_state()
{
    web_state_type state;
    state.robot = robot_snapshot();
    state.message_count = message_lines_copy(state.messages, text_line_count);
    state.browsers = web_registry().count();
    state.time = get_time() - server->start_time;
    return state;
}

constexpr double picture_rate = 10.0;  // the pictures a browser gets a second, at most

void watch_camera(bool on)
{
    if (on == (server->camera_handle != 0))
        return;
    if (!on) {
        camera_feed_unsubscribe(server->camera_handle);
        server->camera_handle = 0;
        return;
    }
    server->camera_handle = camera_feed_subscribe(camera.shown(picture_rate), [](const camera_picture_type& picture) {
        web_publish_jpeg(picture.jpeg, picture.length);
    });
    camera.feed_changed();
}

void send_state()
{
    server->state_timer.expires_after(state_period);
    server->state_timer.async_wait([](boost::system::error_code error) {
        if (error)
            return;
        if (std::string line = web_throttle().report(get_time()); !line.empty())
            log_write("%s", line.c_str());
        if (std::string line = web_guard_refusals_report(get_time()); !line.empty())
            log_write("%s", line.c_str());
        std::vector<web_peer_type> peers = web_registry().peers();
        // The camera's pictures go to browsers only while one is connected.
        watch_camera(!peers.empty());
        if (!peers.empty()) {
            auto prefix = std::make_shared<const std::string>(web_state_prefix(gather_state()));
            for (web_peer_type& peer : peers)
                peer.send_state(prefix);
        }
        send_state();
    });
}

// Stops accepting and asks every browser to close. The io_context then runs out of work and the web
// thread ends; connections still open after the grace period (a browser that does not answer, an idle
// keep-alive connection) are dropped with the io_context.
void begin_stop()
{
    boost::system::error_code ignored;
    server->acceptor.close(ignored);
    server->state_timer.cancel();
    server->retry_timer.cancel();
    server->address_timer.cancel();
    std::vector<web_peer_type> peers = web_registry().peers();
    for (web_peer_type& peer : peers)
        peer.close(false);
    foxglove_hub_close_all();
    if (peers.empty() && foxglove_hub_count() == 0 && web_http_sessions() == 0)
        return;
    server->grace_timer.expires_after(close_grace);
    server->grace_timer.async_wait([](boost::system::error_code) { server->ioc.stop(); });
}

bool load_tls(server_type& s)
{
    if (s.config.cert.empty() && s.config.key.empty())
        return true;
    if (s.config.cert.empty() || s.config.key.empty()) {
        add_line("Web console: web_cert and web_key go together; no console");
        return false;
    }
    s.ssl.emplace(net::ssl::context::tls_server);
    boost::system::error_code error;
    s.ssl->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                           net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1,
                       error);
    if (!error && SSL_CTX_set_cipher_list(s.ssl->native_handle(), tls12_ciphers) != 1)
        error = boost::system::error_code(static_cast<int>(ERR_get_error()), net::error::get_ssl_category());
    if (!error)
        s.ssl->use_certificate_chain_file(s.config.cert, error);
    if (!error)
        s.ssl->use_private_key_file(s.config.key, net::ssl::context::pem, error);
    if (error) {
        add_line("Web console: unable to load %s and %s (%s); no console", s.config.cert.c_str(),
                 s.config.key.c_str(), error.message().c_str());
        return false;
    }
    s.site.ssl = &*s.ssl;
    return true;
}

bool open_acceptor(server_type& s, tcp::endpoint& endpoint)
{
    boost::system::error_code error;
    net::ip::address address = net::ip::address_v4::any();
    if (!s.config.address.empty())
        address = net::ip::make_address(s.config.address, error);
    if (error) {
        add_line("Web console: web_address %s is no address; no console", s.config.address.c_str());
        return false;
    }
    endpoint = tcp::endpoint(address, static_cast<unsigned short>(s.config.port));
    s.acceptor.open(endpoint.protocol(), error);
    if (!error)
        s.acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (!error)
        s.acceptor.bind(endpoint, error);
    if (!error)
        s.acceptor.listen(net::socket_base::max_listen_connections, error);
    if (error) {
        add_line("Web console: unable to listen on port %d (%s)", s.config.port, error.message().c_str());
        return false;
    }
    return true;
}

// The address on the status display, with its token: again every minute until a browser has come.
void show_address()
{
    if (server == nullptr || web_registry().total() > server->sessions_before)
        return;
    for (const std::string& line : web_address_display_lines(server->urls, server->site.token, 3))
        do_add_line(line.c_str());
    server->address_timer.expires_after(server->config.address_repeat);
    server->address_timer.async_wait([](boost::system::error_code error) {
        if (!error)
            show_address();
    });
}

// The log gets the addresses and where the token is kept; the token itself only goes on the display.
void announce(const tcp::endpoint& endpoint, bool tls)
{
    std::string listening = endpoint.address().is_unspecified() ? std::string() : endpoint.address().to_string();
    server->urls = web_address_urls(listening, tls, server->config.port, socket_local_addresses());
    std::string place = server->config.token.empty() ? std::string(web_token_file) : "config.txt, key web_token";
    log_write("%s", web_address_log_line(server->urls, place).c_str());
    net::post(server->ioc, show_address);
    std::lock_guard<std::mutex> hold(shared.url_lock);
    shared.url = server->urls.empty() ? std::string() : server->urls.front() + "?token=" + server->site.token;
}

std::string choose_token(const web_config_type& config)
{
    if (config.token.empty())
        return web_load_token(web_token_file);
    if (!web_token_valid(config.token)) {
        add_line("Web console: web_token must be 8 to 128 letters, digits, '-', '_', '.' or '~'; no console");
        return std::string();
    }
    if (config.token.size() < token_advised_length)
        add_line("Web console: web_token has %d characters; use at least %d, a short one can be guessed",
                 static_cast<int>(config.token.size()), static_cast<int>(token_advised_length));
    return config.token;
}

} // namespace

bool web_origins_key(const char* key, const char* rest, web_config_type& web_config)
{
    if (std::strcmp(key, "web_origins") != 0)
        return false;
    std::string wrong;
    if (!web_parse_origins(rest, web_config.origins, wrong))
        add_line("load_config: web_origins: %s is no origin such as https://studio.example:8443; key ignored",
                 wrong.c_str());
    return true;
}

std::string web_console_url()
{
    std::lock_guard<std::mutex> hold(shared.url_lock);
    return shared.url;
}

void web_start(window_handle window, const web_config_type& config)
{
    if (config.port == 0 || server != nullptr)
        return;
    log_write("Web - Start");
    if (config.port < 1 || config.port > 65535) {
        add_line("Web console: web_port %d is no port; no console", config.port);
        return;
    }
    auto s = std::make_unique<server_type>();
    s->config = config;
    s->site.token = choose_token(config);
    s->site.window = window;
    s->site.origins = config.origins;
    tcp::endpoint endpoint;
    if (s->site.token.empty() || !load_tls(*s) || !open_acceptor(*s, endpoint))
        return;
    s->site.page = web_page();
    s->start_time = get_time();
    s->sessions_before = web_registry().total();
    server = std::move(s);
    web_stopping() = false;
    accept_next();
    send_state();
    foxglove_hub_start(server->ioc);
    if (!thread_start(server->thread, "Web", [] {
            server->ioc.run();
            server->ended.set_value();
        })) {
        foxglove_hub_stop();
        server.reset();
        return;
    }
    {
        std::lock_guard<std::mutex> hold(shared.publish_lock);
        shared.publishing = true;
    }
    // A browser or a Foxglove client whose drive is refused is told why.
    motion_listen(driver_kind::browser, web_notice);
    motion_listen(driver_kind::foxglove, foxglove_notice);
    announce(endpoint, server->site.ssl != nullptr);
}

void web_stop()
{
    if (server == nullptr)
        return;
    log_write("Web - Stop");
    {
        std::lock_guard<std::mutex> hold(shared.publish_lock);
        shared.publishing = false;
    }
    web_stopping() = true;
    motion_listen(driver_kind::browser, {});
    motion_listen(driver_kind::foxglove, {});
    std::future<void> ended = server->ended.get_future();
    net::post(server->ioc, begin_stop);
    if (ended.wait_for(stop_limit) != std::future_status::ready) {
        log_write("Web console: browsers did not close in time; stopping outright");
        server->ioc.stop();
    }
    server->thread.join();
    watch_camera(false);
    foxglove_hub_stop();
    server.reset();
    drivers_forget(driver_kind::browser);
}

bool web_running()
{
    return server != nullptr;
}

void web_publish_jpeg(const unsigned char* jpeg, size_t length)
{
    if (length == 0 || length > jpeg_limit)
        return;
    std::lock_guard<std::mutex> hold(shared.publish_lock);
    if (!shared.publishing || web_registry().count() == 0)
        return;
    auto picture = std::make_shared<const std::string>(reinterpret_cast<const char*>(jpeg), length);
    for (web_peer_type& peer : web_registry().peers())
        peer.send_frame(picture);
}

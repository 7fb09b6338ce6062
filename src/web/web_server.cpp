// The web thread: the listening socket, the 20 Hz state message, pictures for every browser, start and a
// bounded stop.
#include "web/web_server.h"

#include "app/threads.h"
#include "app/time.h"
#include "app/utility.h"
#include "console/display.h"
#include "imaging/camera.h"
#include "net/network.h"
#include "robot/drivers.h"
#include "robot/robot.h"
#include "web/web_access.h"
#include "web/web_messages.h"
#include "web/web_page.h"
#include "web/web_session.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <cstring>
#include <future>
#include <optional>
#include <thread>

namespace net = boost::asio;
using tcp = net::ip::tcp;

web_config_type web_config;

namespace {

constexpr auto state_period = std::chrono::milliseconds(50);
constexpr auto close_grace = std::chrono::milliseconds(300);   // for browsers to answer the going-away
constexpr auto stop_limit = std::chrono::milliseconds(2000);   // should the grace timer not end it
constexpr size_t jpeg_limit = 4 * 1024 * 1024;

std::mutex console_url_lock;  // guards console_url
std::string console_url;      // what announce said, for the fleet link's status

// One running console. Members are destroyed in reverse order: the io_context, and with it every session
// it still holds, goes before the TLS context and the site that sessions use.
struct server_type {
    web_site_type site;
    std::optional<net::ssl::context> ssl;
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer state_timer{ioc};
    net::steady_timer retry_timer{ioc};
    net::steady_timer grace_timer{ioc};
    double start_time = 0.0;
    std::thread thread;
    std::promise<void> ended;
};

std::unique_ptr<server_type> server;  // written on the window thread only
std::mutex publish_lock;              // held while a picture is handed out and while the console stops
bool publishing = false;              // guarded by publish_lock: the io_context takes posts

void accept_next();

void on_accept(boost::system::error_code error, tcp::socket socket)
{
    if (error == net::error::operation_aborted)
        return;
    if (error) {
        // Out of descriptors, for example: a pause, not a busy loop.
        log("Web console: accept failed (%s)", error.message().c_str());
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
    state.serial_rate = robot.get_update_speed();
    state.has_camera = robot.get_camera_rate(&state.camera_rate);
    state.remote = drivers_remote();
    state.auto_mode = robot.get_auto_mode();
    control_type control;
    robot.get_control(&control);
    state.left_target = control.left_target;
    state.left_speed = control.left_speed;
    state.left_reverse = control.left_reverse;
    state.right_target = control.right_target;
    state.right_speed = control.right_speed;
    state.right_reverse = control.right_reverse;
    telemetry_type telemetry;
    robot.get_telemetry(&telemetry);
    std::memcpy(state.analog, telemetry.analog, sizeof state.analog);
    {
        std::lock_guard<std::mutex> hold(text_lock);
        std::memcpy(state.messages, text_area, sizeof state.messages);
        state.message_count = text_y;
    }
    state.driver = driver_name(drivers_current());
    state.browsers = web_registry.count();
    state.time = get_time() - server->start_time;
    return state;
}

void send_state()
{
    server->state_timer.expires_after(state_period);
    server->state_timer.async_wait([](boost::system::error_code error) {
        if (error)
            return;
        std::vector<web_peer_type> peers = web_registry.peers();
        // The capture encodes pictures for browsers only while one watches.
        if (camera.watching != !peers.empty())
            camera.watch(!peers.empty());
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
    std::vector<web_peer_type> peers = web_registry.peers();
    for (web_peer_type& peer : peers)
        peer.close(false);
    if (peers.empty() && web_http_sessions == 0)
        return;
    server->grace_timer.expires_after(close_grace);
    server->grace_timer.async_wait([](boost::system::error_code) { server->ioc.stop(); });
}

bool load_tls(server_type& s)
{
    if (web_config.cert.empty() && web_config.key.empty())
        return true;
    if (web_config.cert.empty() || web_config.key.empty()) {
        add_line("Web console: web_cert and web_key go together; no console");
        return false;
    }
    s.ssl.emplace(net::ssl::context::tls_server);
    boost::system::error_code error;
    s.ssl->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                           net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1,
                       error);
    if (!error)
        s.ssl->use_certificate_chain_file(web_config.cert, error);
    if (!error)
        s.ssl->use_private_key_file(web_config.key, net::ssl::context::pem, error);
    if (error) {
        add_line("Web console: unable to load %s and %s (%s); no console", web_config.cert.c_str(),
                 web_config.key.c_str(), error.message().c_str());
        return false;
    }
    s.site.ssl = &*s.ssl;
    return true;
}

bool open_acceptor(server_type& s, tcp::endpoint& endpoint)
{
    boost::system::error_code error;
    net::ip::address address = net::ip::address_v4::any();
    if (!web_config.address.empty())
        address = net::ip::make_address(web_config.address, error);
    if (error) {
        add_line("Web console: web_address %s is no address; no console", web_config.address.c_str());
        return false;
    }
    endpoint = tcp::endpoint(address, static_cast<unsigned short>(web_config.port));
    s.acceptor.open(endpoint.protocol(), error);
    if (!error)
        s.acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (!error)
        s.acceptor.bind(endpoint, error);
    if (!error)
        s.acceptor.listen(net::socket_base::max_listen_connections, error);
    if (error) {
        add_line("Web console: unable to listen on port %d (%s)", web_config.port, error.message().c_str());
        return false;
    }
    return true;
}

void announce(const tcp::endpoint& endpoint, bool tls, const std::string& token)
{
    std::string host;
    if (endpoint.address().is_unspecified()) {
        boost::system::error_code error;
        host = net::ip::host_name(error);
        if (error || host.empty())
            host = "localhost";
    } else if (endpoint.address().is_v6()) {
        host = "[" + endpoint.address().to_string() + "]";
    } else {
        host = endpoint.address().to_string();
    }
    add_line("Web console: %s://%s:%d/?token=%s", tls ? "https" : "http", host.c_str(), web_config.port, token.c_str());
    std::lock_guard<std::mutex> hold(console_url_lock);
    console_url = std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(web_config.port) +
                  "/?token=" + token;
}

std::string choose_token()
{
    if (web_config.token.empty())
        return web_load_token(web_token_file);
    if (!web_token_valid(web_config.token)) {
        add_line("Web console: web_token must be 8 to 128 letters, digits, '-', '_', '.' or '~'; no console");
        return std::string();
    }
    return web_config.token;
}

} // namespace

std::string web_console_url()
{
    std::lock_guard<std::mutex> hold(console_url_lock);
    return console_url;
}

void web_start(window_handle window)
{
    if (web_config.port == 0 || server != nullptr)
        return;
    log("Web - Start");
    if (web_config.port < 1 || web_config.port > 65535) {
        add_line("Web console: web_port %d is no port; no console", web_config.port);
        return;
    }
    auto s = std::make_unique<server_type>();
    s->site.token = choose_token();
    s->site.window = window;
    tcp::endpoint endpoint;
    if (s->site.token.empty() || !load_tls(*s) || !open_acceptor(*s, endpoint))
        return;
    s->site.page = web_page();
    s->start_time = get_time();
    server = std::move(s);
    web_stopping = false;
    accept_next();
    send_state();
    if (!thread_start(server->thread, "Web", [] {
            server->ioc.run();
            server->ended.set_value();
        })) {
        server.reset();
        return;
    }
    // The serial camera hands its pictures to browsers itself; a capture's come through the camera thread.
    if (camera.camera_pipeline != "serial")
        camera.set_jpeg_listener([](const unsigned char* jpeg, size_t length) { web_publish_jpeg(jpeg, length); });
    {
        std::lock_guard<std::mutex> hold(publish_lock);
        publishing = true;
    }
    announce(endpoint, server->site.ssl != nullptr, server->site.token);
}

void web_stop()
{
    if (server == nullptr)
        return;
    log("Web - Stop");
    {
        std::lock_guard<std::mutex> hold(publish_lock);
        publishing = false;
    }
    web_stopping = true;
    camera.watch(false);
    camera.set_jpeg_listener({});
    std::future<void> ended = server->ended.get_future();
    net::post(server->ioc, begin_stop);
    if (ended.wait_for(stop_limit) != std::future_status::ready) {
        log("Web console: browsers did not close in time; stopping outright");
        server->ioc.stop();
    }
    server->thread.join();
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
    std::lock_guard<std::mutex> hold(publish_lock);
    if (!publishing || web_registry.count() == 0)
        return;
    auto picture = std::make_shared<const std::string>(reinterpret_cast<const char*>(jpeg), length);
    for (web_peer_type& peer : web_registry.peers())
        peer.send_frame(picture);
}

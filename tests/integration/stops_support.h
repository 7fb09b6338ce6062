// The stops' rig: quillon with its console, its fleet link on a broker of its own and commands on change,
// against quillon-sim, windowed on a virtual display when one can be made; and one driver of every kind,
// each able to press, let go and leave. The stops test and the stops benchmark share it.
#pragma once

#include "integration_support.h"
#include "sim_record_support.h"

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace integration {

// A WebSocket to the console: a browser's, or a Foxglove client's with its subprotocol.
class socket_client {
public:
    socket_client(int port, const std::string& token, const char* subprotocol);
    bool text(const std::string& message);
    bool binary(const std::string& message);
    void close();
    bool open = false;

private:
    boost::asio::io_context ioc;
    boost::beast::websocket::stream<boost::beast::tcp_stream> ws{ioc};
};

class stops_rig {
public:
    explicit stops_rig(bool on_change = true);
    void start();
    bool restart();  // SIGTERM, exit code 0, and a new start
    size_t received();
    std::string log_tail();
    // Waits for a command after the first `from` that passes the test.
    bool board_gets(size_t from, const std::function<bool(const board_command_type&)>& test,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000));
    // The board receives `count` more commands, all neutral.
    bool stays_neutral(size_t count);
    std::string window(const std::string& title);

    virtual_display display;
    temp_folder folder;
    broker mqtt;
    int web_port = 0;
    const std::string token = "stops-test-token-0123";
    std::unique_ptr<process> sim;
    std::unique_ptr<process> program;
};

// One driver: how it presses (and keeps pressing), lets go, and goes.
struct driver_type {
    std::function<void()> press;    // one drive message holding forward
    std::function<void()> let_go;   // one drive message holding nothing
    std::function<void()> leave;    // it goes (disconnects; for the keyboard, the window loses the focus)
};

// A driver of every kind on the rig: "link" (connected at its first press: while it holds a client
// nobody else drives), "browser", "foxglove", "mqtt" and, with a display, "keyboard"; and a browser that
// only watches, to send STOPs.
class stops_drivers {
public:
    explicit stops_drivers(stops_rig& rig);
    bool ready() const { return browser->open && watcher->open && foxglove->open; }
    size_t count(const std::string& kind) const { return table.count(kind); }
    driver_type& operator[](const std::string& kind) { return table[kind]; }
    bool stop() { return watcher->text("{\"type\":\"stop\"}"); }

private:
    stops_rig& rig;
    std::unique_ptr<tcp_client> link;
    std::unique_ptr<socket_client> browser, watcher, foxglove;
    std::string quillon_window;
    std::map<std::string, driver_type> table;
};

inline bool moving(const board_command_type& c) { return !c.neutral(); }
inline bool neutral(const board_command_type& c) { return c.neutral(); }

} // namespace integration

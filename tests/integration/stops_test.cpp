// Every way the robot stops, for every kind of driver, through the real program and quillon-sim: the
// operator link, a browser, a Foxglove client, an MQTT operator on a real broker and the robot's keyboard
// under Xvfb, each stopped by STOP, letting go, silence, leaving, the broker's loss, the window's focus or
// a restart. Each row ends in neutral motor bytes at the board within its rule's time; a driver held by a
// STOP stays stopped until it lets go and presses again. The times measured are printed.
#include "integration_support.h"
#include "sim_record_support.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>

using namespace integration;
namespace beast = boost::beast;
namespace net = boost::asio;
using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

namespace {


// A WebSocket to the console: a browser's, or a Foxglove client's with its subprotocol.
class socket_client {
public:
    socket_client(int port, const std::string& token, const char* subprotocol)
    {
        boost::system::error_code error;
        net::ip::tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
        beast::get_lowest_layer(ws).connect(endpoint, error);
        if (subprotocol != nullptr)
            ws.set_option(beast::websocket::stream_base::decorator([subprotocol](beast::websocket::request_type& request) {
                request.set(beast::http::field::sec_websocket_protocol, subprotocol);
            }));
        if (!error)
            ws.handshake("127.0.0.1:" + std::to_string(port), "/ws?token=" + token, error);
        open = !error;
    }
    bool text(const std::string& message)
    {
        boost::system::error_code error;
        ws.text(true);
        ws.write(net::buffer(message), error);
        return !error;
    }
    bool binary(const std::string& message)
    {
        boost::system::error_code error;
        ws.binary(true);
        ws.write(net::buffer(message), error);
        return !error;
    }
    void close() { beast::get_lowest_layer(ws).close(); }
    bool open = false;

private:
    net::io_context ioc;
    beast::websocket::stream<beast::tcp_stream> ws{ioc};
};

// quillon with its console, its fleet link and commands on change, against quillon-sim; windowed on a
// virtual display when one can be made, so that the robot's keyboard drives too.
class stops_rig {
public:
    stops_rig() : mqtt(folder)
    {
        sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", folder.path(),
                                                                 "--record", folder.file("bus.txt"), "--no-stdin",
                                                                 "--quiet", "--pose", "2.5,1.5,0"},
                                        folder.path());
        wait_until([&] { return read_file(folder.file("config.txt")).find("serial_port pts/") == 0; });
        web_port = free_port();
        std::ofstream(folder.file("config.txt"), std::ios::app)
            << "web_port " << web_port << "\nweb_token stops-test-token-0123\ncommand_on_change 1\n"
            << "mqtt_broker mqtt://127.0.0.1:" << mqtt.port << "\nrobot_name rover\nmqtt_keepalive 5\n";
        start();
    }
    void start()
    {
        if (display.ready())
            program = start_quillon(folder, {}, {display.environment()});
        else
            program = start_quillon(folder);
        wait_for_line(folder.file("log.txt"), "Web console: http");
        wait_for_line(folder.file("log.txt"), "Fleet: on the broker");
    }
    void restart()
    {
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(), 0);
        start();
    }
    size_t received() { return read_board_commands(folder.file("bus.txt")).size(); }
    std::string log_tail()
    {
        std::string log = read_file(folder.file("log.txt"));
        return log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    }
    // Waits for a command after the first `from` that passes the test.
    bool board_gets(size_t from, const std::function<bool(const board_command_type&)>& test,
                    milliseconds limit = milliseconds(3000))
    {
        return wait_until([&] {
            auto commands = read_board_commands(folder.file("bus.txt"));
            for (size_t i = from; i < commands.size(); i++)
                if (test(commands[i]))
                    return true;
            return false;
        }, limit);
    }
    // The board receives `count` more commands, all neutral.
    bool stays_neutral(size_t count)
    {
        size_t from = received();
        wait_until([&] { return received() >= from + count; });
        auto commands = read_board_commands(folder.file("bus.txt"));
        for (size_t i = from; i < commands.size(); i++)
            if (!commands[i].neutral())
                return false;
        return commands.size() >= from + count;
    }
    std::string window(const std::string& title)
    {
        std::string ids;
        wait_until([&] { return !(ids = display.run("xdotool search --name '^" + title + "$'")).empty(); });
        return ids.substr(0, ids.find('\n'));
    }

    virtual_display display;
    temp_folder folder;
    broker mqtt;
    int web_port = 0;
    const std::string token = "stops-test-token-0123";
    std::unique_ptr<process> sim;
    std::unique_ptr<process> program;
};

const auto moving = [](const board_command_type& c) { return !c.neutral(); };
const auto neutral = [](const board_command_type& c) { return c.neutral(); };

// One driver the table drives: how it presses (and keeps pressing), lets go, and goes.
struct driver_type {
    std::function<void()> press;    // one drive message holding forward
    std::function<void()> let_go;   // one drive message holding nothing
    std::function<void()> leave;    // it goes (disconnects)
};

const std::string forward_twist = "{\"linear\":{\"x\":0.8,\"y\":0,\"z\":0},\"angular\":{\"x\":0,\"y\":0,\"z\":0}}";
const std::string still_twist = "{\"linear\":{\"x\":0,\"y\":0,\"z\":0},\"angular\":{\"x\":0,\"y\":0,\"z\":0}}";

std::string foxglove_message(const std::string& payload)
{
    std::string message(5, '\0');
    message[0] = 0x01;  // client message data on channel 1
    message[1] = 1;
    return message + payload;
}

} // namespace

TEST(Stops, EveryDriverKindStopsForEveryCauseAndAStopHoldsUntilItsDriverLetsGo)
{
    if (sim_binary().empty() || access("/usr/sbin/mosquitto", X_OK) != 0)
        GTEST_SKIP() << "quillon-sim or mosquitto is not there";
    stops_rig rig;
    ASSERT_TRUE(rig.program->running()) << rig.program->errors();
    ASSERT_TRUE(wait_until([&] { return rig.received() >= 3; })) << "the board receives no commands";

    std::unique_ptr<tcp_client> link;  // connected for its own rows: while it holds a client, nobody else drives
    auto browser = std::make_unique<socket_client>(rig.web_port, rig.token, nullptr);
    auto watcher = std::make_unique<socket_client>(rig.web_port, rig.token, nullptr);
    auto foxglove = std::make_unique<socket_client>(rig.web_port, rig.token, "foxglove.websocket.v1");
    ASSERT_TRUE(browser->open && watcher->open && foxglove->open);
    foxglove->text("{\"op\":\"advertise\",\"channels\":[{\"id\":1,\"topic\":\"/cmd_vel\",\"encoding\":\"json\","
                   "\"schemaName\":\"geometry_msgs/Twist\"}]}");
    std::map<std::string, driver_type> drivers;
    drivers["link"] = {[&] {
                           if (!link)
                               link = std::make_unique<tcp_client>();
                           link->send_bytes(control_message(0, 60, 60));
                           link->receive(21);
                       },
                       [&] { link->send_bytes(control_message(0, 0, 0)); link->receive(21); },
                       [&] { link->close(); }};
    drivers["browser"] = {[&] { browser->text("{\"type\":\"drive\",\"forward\":0.8,\"turn\":0}"); },
                          [&] { browser->text("{\"type\":\"drive\",\"forward\":0,\"turn\":0}"); },
                          [&] { browser->close(); }};
    drivers["foxglove"] = {[&] { foxglove->binary(foxglove_message(forward_twist)); },
                           [&] { foxglove->binary(foxglove_message(still_twist)); },
                           [&] { foxglove->close(); }};
    drivers["mqtt"] = {[&] { rig.mqtt.publish("quillon/rover/drive", "{\"forward\":0.8,\"turn\":0}"); },
                       [&] { rig.mqtt.publish("quillon/rover/drive", "{\"forward\":0,\"turn\":0}"); },
                       [&] { rig.mqtt.stop(); }};
    std::string quillon_window;
    if (rig.display.ready()) {
        quillon_window = rig.window("Quillon");
        rig.display.run("xdotool windowfocus --sync " + quillon_window);
        drivers["keyboard"] = {[&] { rig.display.run("xdotool keydown w"); },
                               [&] { rig.display.run("xdotool keyup w"); },
                               [&] {
                                   process thief({"/usr/bin/xmessage", "-title", "focus-thief", "here"},
                                                 rig.folder.path(), {rig.display.environment()});
                                   rig.display.run("xdotool windowfocus --sync " + rig.window("focus-thief"));
                                   rig.display.run("xdotool windowfocus --sync " + quillon_window);
                               }};
    }
    const std::string stop = "{\"type\":\"stop\"}";

    struct row_type {
        const char* kind;
        const char* cause;          // stop, let go, silence, leave (disconnect, broker loss, focus loss)
        milliseconds limit;         // the rule's time and room for a loaded machine
    };
    const row_type rows[] = {
        {"browser", "stop", milliseconds(500)},
        {"browser", "let go", milliseconds(500)}, {"browser", "silence", milliseconds(1500)},
        {"foxglove", "stop", milliseconds(500)},  {"foxglove", "let go", milliseconds(500)},
        {"foxglove", "silence", milliseconds(1500)}, {"mqtt", "stop", milliseconds(500)},
        {"mqtt", "let go", milliseconds(500)},    {"mqtt", "silence", milliseconds(1500)},
        {"keyboard", "stop", milliseconds(500)},  {"keyboard", "let go", milliseconds(500)},
        {"keyboard", "leave", milliseconds(500)}, {"browser", "leave", milliseconds(500)},
        {"foxglove", "leave", milliseconds(500)}, {"mqtt", "leave", milliseconds(1500)},
        {"link", "stop", milliseconds(500)},      {"link", "let go", milliseconds(500)},
        {"link", "silence", milliseconds(2000)},  {"link", "leave", milliseconds(500)},
    };
    std::string figures = "driver    cause     ms to 80 80 80 80\n";
    for (const row_type& row : rows) {
        SCOPED_TRACE(std::string(row.kind) + " " + row.cause);
        if (drivers.count(row.kind) == 0)
            continue;  // no virtual display: no keyboard
        driver_type& driver = drivers[row.kind];
        // It drives: presses, and keeps pressing as its client would, until the board moves.
        size_t mark = rig.received();
        ASSERT_TRUE(wait_until([&] {
            driver.press();
            return rig.board_gets(mark, moving, milliseconds(100));
        }, milliseconds(5000))) << "it does not drive\n" << rig.log_tail();
        std::string cause = row.cause;
        mark = rig.received();
        auto began = clock_type::now();
        if (cause == "stop")
            watcher->text(stop);  // from a browser that only watches
        else if (cause == "let go")
            driver.let_go();
        else if (cause == "leave")
            driver.leave();
        ASSERT_TRUE(rig.board_gets(mark, neutral, row.limit + milliseconds(1000))) << "no neutral command";
        auto took = std::chrono::duration_cast<milliseconds>(clock_type::now() - began);
        EXPECT_LE(took, row.limit);
        char line[80];
        std::snprintf(line, sizeof line, "%-9s %-9s %lld\n", row.kind, row.cause, static_cast<long long>(took.count()));
        figures += line;
        if (cause == "stop") {
            // Held: pressing on without letting go moves nothing; letting go and pressing again drives.
            for (int i = 0; i < 3; i++)
                driver.press();
            EXPECT_TRUE(rig.stays_neutral(5)) << "a STOP that does not hold";
            driver.let_go();
            mark = rig.received();
            EXPECT_TRUE(wait_until([&] {
                driver.press();
                return rig.board_gets(mark, moving, milliseconds(100));
            }, milliseconds(5000))) << "it may not drive again after letting go";
        }
        driver.let_go();
        EXPECT_TRUE(rig.board_gets(rig.received(), neutral));
        // Every driver lets go and the deadman and idle rules run out, so the next row's may take over.
        ASSERT_TRUE(rig.stays_neutral(12));
    }
    std::printf("%s", figures.c_str());

    // A retained drive on the broker, and a restart: nothing moves until a fresh, live drive.
    rig.mqtt.start();
    ASSERT_TRUE(rig.mqtt.publish("quillon/rover/drive", "{\"forward\":1,\"turn\":0}", true));
    rig.restart();
    EXPECT_TRUE(rig.stays_neutral(15)) << "a retained drive moved the robot";
    rig.mqtt.publish("quillon/rover/drive", "", true);  // the retained message goes
    // A STOP of any size is taken: the operator's drive stops under a kilobyte STOP.
    size_t mark = rig.received();
    ASSERT_TRUE(wait_until([&] {
        drivers["mqtt"].press();
        return rig.board_gets(mark, moving, milliseconds(100));
    }, milliseconds(8000)));
    mark = rig.received();
    rig.mqtt.publish("quillon/rover/stop", std::string(1000, 'x'));
    EXPECT_TRUE(rig.board_gets(mark, neutral, milliseconds(1500))) << "a long STOP was dropped";
}

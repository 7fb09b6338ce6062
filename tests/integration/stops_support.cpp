// The stops' rig and its drivers.
#include "stops_support.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <csignal>
#include <fstream>

namespace integration {

namespace beast = boost::beast;
namespace net = boost::asio;
using std::chrono::milliseconds;

namespace {

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

socket_client::socket_client(int port, const std::string& token, const char* subprotocol)
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

bool socket_client::text(const std::string& message)
{
    boost::system::error_code error;
    ws.text(true);
    ws.write(net::buffer(message), error);
    return !error;
}

bool socket_client::binary(const std::string& message)
{
    boost::system::error_code error;
    ws.binary(true);
    ws.write(net::buffer(message), error);
    return !error;
}

void socket_client::close()
{
    beast::get_lowest_layer(ws).close();
}

stops_rig::stops_rig(bool on_change) : mqtt(folder)
{
    sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", folder.path(),
                                                             "--record", folder.file("bus.txt"), "--no-stdin",
                                                             "--quiet", "--pose", "2.5,1.5,0"},
                                    folder.path());
    wait_until([&] { return read_file(folder.file("config.txt")).find("serial_port pts/") == 0; });
    web_port = free_port();
    std::ofstream(folder.file("config.txt"), std::ios::app)
        << "web_port " << web_port << "\nweb_token " << token << "\ncommand_on_change " << (on_change ? 1 : 0)
        << "\nmqtt_broker mqtt://127.0.0.1:" << mqtt.port << "\nrobot_name rover\nmqtt_keepalive 5\n";
    start();
}

void stops_rig::start()
{
    if (display.ready())
        program = start_quillon(folder, {}, {display.environment()});
    else
        program = start_quillon(folder);
    wait_for_line(folder.file("log.txt"), "Web console: http");
    wait_for_line(folder.file("log.txt"), "Fleet: on the broker");
}

bool stops_rig::restart()
{
    program->signal(SIGTERM);
    bool clean = program->wait() == 0;
    start();
    return clean;
}

size_t stops_rig::received()
{
    return read_board_commands(folder.file("bus.txt")).size();
}

std::string stops_rig::log_tail()
{
    std::string log = read_file(folder.file("log.txt"));
    return log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
}

bool stops_rig::board_gets(size_t from, const std::function<bool(const board_command_type&)>& test,
                           milliseconds limit)
{
    return wait_until([&] {
        auto commands = read_board_commands(folder.file("bus.txt"));
        for (size_t i = from; i < commands.size(); i++)
            if (test(commands[i]))
                return true;
        return false;
    }, limit);
}

bool stops_rig::stays_neutral(size_t count)
{
    size_t from = received();
    wait_until([&] { return received() >= from + count; });
    auto commands = read_board_commands(folder.file("bus.txt"));
    for (size_t i = from; i < commands.size(); i++)
        if (!commands[i].neutral())
            return false;
    return commands.size() >= from + count;
}

std::string stops_rig::window(const std::string& title)
{
    std::string ids;
    wait_until([&] { return !(ids = display.run("xdotool search --name '^" + title + "$'")).empty(); });
    return ids.substr(0, ids.find('\n'));
}

stops_drivers::stops_drivers(stops_rig& rig) : rig(rig)
{
    browser = std::make_unique<socket_client>(rig.web_port, rig.token, nullptr);
    watcher = std::make_unique<socket_client>(rig.web_port, rig.token, nullptr);
    foxglove = std::make_unique<socket_client>(rig.web_port, rig.token, "foxglove.websocket.v1");
    foxglove->text("{\"op\":\"advertise\",\"channels\":[{\"id\":1,\"topic\":\"/cmd_vel\",\"encoding\":\"json\","
                   "\"schemaName\":\"geometry_msgs/Twist\"}]}");
    table["link"] = {[this] {
                         if (!link)
                             link = std::make_unique<tcp_client>();
                         link->send_bytes(control_message(0, 60, 60));
                         link->receive(21);
                     },
                     [this] {
                         if (!link)
                             return;  // gone: it holds nothing
                         link->send_bytes(control_message(0, 0, 0));
                         link->receive(21);
                     },
                     [this] { link.reset(); }};
    table["browser"] = {[this] { browser->text("{\"type\":\"drive\",\"forward\":0.8,\"turn\":0}"); },
                        [this] { browser->text("{\"type\":\"drive\",\"forward\":0,\"turn\":0}"); },
                        [this] { browser->close(); }};
    table["foxglove"] = {[this] { foxglove->binary(foxglove_message(forward_twist)); },
                         [this] { foxglove->binary(foxglove_message(still_twist)); },
                         [this] { foxglove->close(); }};
    table["mqtt"] = {[this] { this->rig.mqtt.publish("quillon/rover/drive", "{\"forward\":0.8,\"turn\":0}"); },
                     [this] { this->rig.mqtt.publish("quillon/rover/drive", "{\"forward\":0,\"turn\":0}"); },
                     [this] { this->rig.mqtt.stop(); }};
    if (!rig.display.ready())
        return;
    quillon_window = rig.window("Quillon");
    rig.display.run("xdotool windowfocus --sync " + quillon_window);
    table["keyboard"] = {[this] { this->rig.display.run("xdotool keydown w"); },
                         [this] { this->rig.display.run("xdotool keyup w"); },
                         [this] {
                             process thief({"/usr/bin/xmessage", "-title", "focus-thief", "here"},
                                           this->rig.folder.path(), {this->rig.display.environment()});
                             this->rig.display.run("xdotool windowfocus --sync " + this->rig.window("focus-thief"));
                             this->rig.display.run("xdotool windowfocus --sync " + quillon_window);
                         }};
}

} // namespace integration

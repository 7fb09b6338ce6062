// The web console of the real program against quillon-sim: access over raw HTTP, the state and the
// camera over a WebSocket, a drive message reaching the board, the browser cap, and TLS.
#include "../test_jpeg.h"
#include "integration_support.h"
#include "sim_record_support.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/src.hpp>  // the integration tests link no other copy of Boost.JSON

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace integration;
namespace beast = boost::beast;
namespace net = boost::asio;
namespace json = boost::json;
using std::chrono::milliseconds;

namespace {

// Sends one raw request and returns everything the server answers until it closes or falls silent.
std::string raw_request(int port, const std::string& request)
{
    tcp_client client(port);
    if (!client.connected() || !client.send_bytes(std::vector<unsigned char>(request.begin(), request.end())))
        return std::string();
    std::vector<unsigned char> answer = client.receive(1 << 20, milliseconds(1500));
    return std::string(answer.begin(), answer.end());
}

std::string upgrade_request(const std::string& target, const std::string& extra_headers)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
           "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" + extra_headers + "\r\n";
}

// A browser's WebSocket, played by Beast's synchronous client.
class browser_socket {
public:
    browser_socket(int port, const std::string& token)
    {
        boost::system::error_code error;
        net::ip::tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
        beast::get_lowest_layer(ws).connect(endpoint, error);
        if (!error)
            ws.handshake("127.0.0.1:" + std::to_string(port), "/ws?token=" + token, error);
        open = !error;
    }
    // The next state message, or null after the limit; pictures on the way are counted and kept.
    json::value next_state(milliseconds limit = milliseconds(3000))
    {
        for (auto end = std::chrono::steady_clock::now() + limit; open && std::chrono::steady_clock::now() < end;) {
            beast::flat_buffer buffer;
            boost::system::error_code error;
            beast::get_lowest_layer(ws).expires_after(std::chrono::seconds(2));
            ws.read(buffer, error);
            open = open && (!error || error == beast::error::timeout);
            if (error)
                break;
            std::string text = beast::buffers_to_string(buffer.data());
            if (ws.got_binary()) {
                pictures++;
                last_picture = text;
            } else if (json::value value = json::parse(text); value.at("type").as_string() == "state") {
                return value;
            } else if (value.at("type").as_string() == "error") {
                last_error = std::string(value.at("message").as_string());
            }
        }
        return nullptr;
    }
    void send(const std::string& text) { EXPECT_TRUE(try_send(text)); }
    bool try_send(const std::string& text)
    {
        boost::system::error_code error;
        ws.write(net::buffer(text), error);
        return !error;
    }

    bool open = false;
    int pictures = 0;
    std::string last_picture;
    std::string last_error;

private:
    net::io_context ioc;
    beast::websocket::stream<beast::tcp_stream> ws{ioc};
};

// quillon with its console on a free port, against quillon-sim recording the board's commands.
class web_rig {
public:
    explicit web_rig(const std::string& extra_config = "")
    {
        sim = std::make_unique<process>(std::vector<std::string>{sim_binary(), "--write-config", folder.path(),
                                                                 "--record", folder.file("bus.txt"), "--no-stdin",
                                                                 "--quiet", "--pose", "3.4,1.5,0"},
                                        folder.path());
        wait_until([&] { return read_file(folder.file("config.txt")).find("serial_port pts/") == 0; });
        std::string config = read_file(folder.file("config.txt"));
        // A free port may be taken by another program before quillon binds it: then it says so, and
        // starts again on another.
        for (int attempt = 0; attempt < 5; attempt++) {
            port = free_port();
            std::ofstream(folder.file("config.txt")) << config << "web_port " << port << "\n" << extra_config;
            program = start_quillon(folder);
            std::string log = folder.file("log.txt");
            wait_until([&] {
                std::string text = read_file(log);
                return text.find("Web console: http") != std::string::npos ||
                       text.find("Web console: unable to listen") != std::string::npos;
            });
            if (read_file(log).find("Web console: unable to listen") == std::string::npos)
                break;
            program->signal(SIGTERM);
            program->wait();
        }
        // The log says where the token is kept, never the token.
        std::smatch found;
        if (std::regex_search(extra_config, found, std::regex("web_token (\\S+)")))
            token = found[1];
        else
            token = read_file(folder.file("web_token.txt")).substr(0, 32);
    }
    ~web_rig()
    {
        program->signal(SIGTERM);
        EXPECT_EQ(program->wait(), 0);
    }
    // True when a board command after the first `from` passes the test.
    template <class F> bool board_has(size_t from, F test)
    {
        auto commands = read_board_commands(folder.file("bus.txt"));
        for (size_t i = from; i < commands.size(); i++)
            if (test(commands[i]))
                return true;
        return false;
    }
    size_t received() { return read_board_commands(folder.file("bus.txt")).size(); }

    temp_folder folder;
    std::unique_ptr<process> sim;
    std::unique_ptr<process> program;
    int port = 0;
    std::string token;
};

} // namespace

TEST(WebConsole, TheTokenGuardsThePageAndTheWebSocket)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    web_rig rig;
    ASSERT_EQ(rig.token.size(), 32u) << read_file(rig.folder.file("log.txt"));
    // The made token is kept for the next start, readable by its owner only.
    struct stat info {};
    ASSERT_EQ(stat(rig.folder.file("web_token.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(read_file(rig.folder.file("web_token.txt")), rig.token + "\n");
    // The log gives the PC's IPv4 addresses and where the token is, not the token (the display's line
    // with the token is the web address unit test's).
    std::string log = read_file(rig.folder.file("log.txt"));
    EXPECT_TRUE(std::regex_search(log, std::regex("Web console: http://([0-9.]+|localhost):" + std::to_string(rig.port) +
                                                  "/.* \\(the token is in web_token.txt\\)"))) << log;
    EXPECT_EQ(log.find(rig.token), std::string::npos) << "the token is in log.txt";
    std::string plain = raw_request(rig.port, "GET /ws?token=" + rig.token + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(plain.rfind("HTTP/1.1 426", 0), 0u) << "a plain GET of /ws with a place free: " << plain;

    std::string refused = raw_request(rig.port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(refused.rfind("HTTP/1.1 401", 0), 0u) << refused;
    EXPECT_NE(refused.find("web_token.txt"), std::string::npos);
    refused = raw_request(rig.port, "GET /?token=" + std::string(32, '0') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(refused.rfind("HTTP/1.1 401", 0), 0u);

    std::string page = raw_request(rig.port, "GET /?token=" + rig.token + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page.substr(0, 200);
    EXPECT_NE(page.find("<style>"), std::string::npos);
    EXPECT_NE(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("<!-- console.js -->"), std::string::npos);
    page = raw_request(rig.port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + rig.token +
                                     "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u);

    std::string upgrade = raw_request(rig.port, upgrade_request("/ws", ""));
    EXPECT_EQ(upgrade.rfind("HTTP/1.1 401", 0), 0u) << upgrade;
    upgrade = raw_request(rig.port, upgrade_request("/ws?token=" + rig.token, "Origin: http://elsewhere.example\r\n"));
    EXPECT_EQ(upgrade.rfind("HTTP/1.1 403", 0), 0u) << upgrade;
    // An upgrade of another address must offer the Foxglove subprotocol.
    upgrade = raw_request(rig.port, upgrade_request("/?token=" + rig.token, ""));
    EXPECT_EQ(upgrade.rfind("HTTP/1.1 400", 0), 0u) << upgrade;
    // A message over the limit is answered, and the browser stays.
    browser_socket big(rig.port, rig.token);
    ASSERT_TRUE(big.open);
    big.send(R"({"type":"drive","pad":")" + std::string(8000, 'x') + "\"}");
    for (int i = 0; i < 100 && big.open && big.last_error.empty(); i++)
        big.next_state(milliseconds(100));
    EXPECT_TRUE(big.open);
    EXPECT_NE(big.last_error.find("at most 4096 bytes"), std::string::npos) << big.last_error;
}

TEST(WebConsole, BrowsersSeeTheRobotAndTheFirstToPressDrivesIt)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    web_rig rig;
    ASSERT_FALSE(rig.token.empty()) << read_file(rig.folder.file("log.txt"));
    browser_socket driver(rig.port, rig.token);
    ASSERT_TRUE(driver.open);

    // The sim's telemetry (10 a second) and its range readings (facing a wall 0.6 m ahead) reach the
    // state messages.
    json::value state;
    ASSERT_TRUE(wait_until([&] {
        state = driver.next_state();
        return !state.is_null() && state.at("serial_rate").to_number<double>() >= 5 &&
               state.at("analog").at(0).to_number<double>() > 0;
    }, std::chrono::seconds(8))) << json::serialize(state);
    EXPECT_EQ(state.at("driver").as_string(), "none");
    EXPECT_FALSE(state.at("you_drive").as_bool());
    EXPECT_EQ(state.at("browsers").to_number<int>(), 1);
    EXPECT_EQ(state.at("analog").as_array().size(), 8u);
    std::string lines = json::serialize(state.at("messages"));
    EXPECT_NE(lines.find("Image Complete"), std::string::npos) << lines;
    // The serial camera's pictures arrive whole, as JPEG.
    ASSERT_TRUE(wait_until([&] { driver.next_state(); return driver.pictures > 0; }, std::chrono::seconds(8)));
    EXPECT_EQ(driver.last_picture.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(driver.last_picture.substr(driver.last_picture.size() - 2), "\xFF\xD9");

    // W held (20 messages a second) reaches the board as forward motor bytes; the other browser watches.
    browser_socket watcher(rig.port, rig.token);
    ASSERT_TRUE(watcher.open);
    size_t mark = rig.received();
    json::value seen, own;
    bool forward = false;
    for (int i = 0; i < 60 && !(forward && !seen.is_null() && !own.is_null()); i++) {
        driver.send(R"({"type":"drive","w":1,"a":0,"s":0,"d":0})");
        watcher.send(R"({"type":"drive","w":0,"a":0,"s":1,"d":0})");
        json::value s = watcher.next_state(milliseconds(100));
        if (!s.is_null() && s.at("driver").as_string() == "browser")
            seen = s;
        json::value o = driver.next_state(milliseconds(100));
        if (!o.is_null() && o.at("you_drive").as_bool())
            own = o;
        forward = forward || rig.board_has(mark, [](const board_command_type& c) { return c.forward(); });
    }
    EXPECT_TRUE(forward) << "W held: no forward command at the board";
    ASSERT_FALSE(seen.is_null()) << "the watcher never saw a browser drive";
    EXPECT_FALSE(seen.at("you_drive").as_bool());
    EXPECT_TRUE(seen.at("remote").as_bool());
    ASSERT_FALSE(own.is_null()) << "the driver was never told it drives";
    EXPECT_GT(own.at("left").at("target").to_number<double>(), 58);
    EXPECT_GT(own.at("right").at("target").to_number<double>(), 37);

    // A watcher's STOP of 200 kB, far over the message limit, is taken as a STOP.
    EXPECT_EQ(count_lines_containing(rig.folder.file("log.txt"), "STOP from browser"), 0);
    watcher.send(R"({"pad":")" + std::string(200000, ' ') + R"(","type":"stop"})");
    EXPECT_TRUE(wait_for_line(rig.folder.file("log.txt"), "STOP from browser"));
    EXPECT_TRUE(watcher.next_state().is_object()) << "the watcher stays connected";

    // Released: neutral at the board within the controller's cycle and the ramp's step.
    mark = rig.received();
    driver.send(R"({"type":"drive","w":0,"a":0,"s":0,"d":0})");
    EXPECT_TRUE(wait_until([&] { return rig.board_has(mark, [](const board_command_type& c) { return c.neutral(); }); }));

    // Eight browsers at most: the ninth is refused with 503. One of them never reads what it is sent.
    tcp_client silent(rig.port);
    std::string upgrade = upgrade_request("/ws?token=" + rig.token, "");
    ASSERT_TRUE(silent.send_bytes(std::vector<unsigned char>(upgrade.begin(), upgrade.end())));
    std::vector<std::unique_ptr<browser_socket>> more;
    for (int i = 0; i < 5; i++) {
        more.push_back(std::make_unique<browser_socket>(rig.port, rig.token));
        EXPECT_TRUE(more.back()->open) << "browser " << i + 4;
    }
    std::string ninth = raw_request(rig.port, upgrade_request("/ws?token=" + rig.token, ""));
    EXPECT_EQ(ninth.rfind("HTTP/1.1 503", 0), 0u) << ninth;
    // The page's plain GET of the socket's address learns the same.
    ninth = raw_request(rig.port, "GET /ws?token=" + rig.token + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(ninth.rfind("HTTP/1.1 503", 0), 0u) << ninth;
    more.pop_back();  // a browser goes: its place is free again
    ASSERT_TRUE(wait_until([&] {
        json::value s = watcher.next_state();
        return !s.is_null() && s.at("browsers").to_number<int>() == 7;
    }));
    browser_socket again(rig.port, rig.token);
    EXPECT_TRUE(again.open);

    // Browsers still open, one of them not reading: the program stops cleanly all the same.
    rig.program->signal(SIGTERM);
    EXPECT_EQ(rig.program->wait(), 0);
    EXPECT_NE(read_file(rig.folder.file("log.txt")).find("Web - Stop"), std::string::npos);
}

TEST(WebConsole, ACapturesPicturesReachTheBrowsersWatching)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    web_rig rig("camera_pipeline videotestsrc ! video/x-raw,width=320,height=240,framerate=30/1\n");
    ASSERT_FALSE(rig.token.empty()) << read_file(rig.folder.file("log.txt"));
    browser_socket viewer(rig.port, rig.token);
    ASSERT_TRUE(viewer.open);
    // The serial camera's 160 x 120 pictures come too; the capture's are the 320 x 240 ones.
    int captured = 0;
    auto start = std::chrono::steady_clock::now();
    wait_until([&] {
        int before = viewer.pictures;
        viewer.next_state(milliseconds(200));
        if (viewer.pictures > before && !viewer.last_picture.empty()) {
            auto picture = test_jpeg::decode(reinterpret_cast<const unsigned char*>(viewer.last_picture.data()),
                                             viewer.last_picture.size());
            captured += picture.width == 320 && picture.height == 240 ? 1 : 0;
        }
        return captured >= 5;
    }, std::chrono::seconds(10));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(captured, 5) << read_file(rig.folder.file("log.txt"));
    EXPECT_LE(captured, static_cast<int>(seconds * 10) + 2) << "at most ten capture pictures a second";
}

// Without the token a connection costs the console little: a few dozen are held at once, the oldest
// dropped for a newcomer, each for 5 s at most, while a browser with the token still gets in. Wrong
// tokens slow their address down and are counted in the log; a short web_token is taken with a warning.
TEST(WebConsole, WithoutTheTokenConnectionsAreCappedAndCutShortAndGuessesSlowed)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    web_rig rig("web_token guessable-1\n");
    ASSERT_EQ(rig.token, "guessable-1") << read_file(rig.folder.file("log.txt"));
    std::string log = rig.folder.file("log.txt");
    EXPECT_TRUE(wait_for_line(log, "Web console: web_token has 11 characters; use at least 16"));
    std::string descriptors = "/proc/" + std::to_string(rig.program->pid()) + "/fd";
    auto open_descriptors = [&] {
        auto entries = std::filesystem::directory_iterator(descriptors);
        return static_cast<int>(std::distance(begin(entries), end(entries)));
    };
    int before = open_descriptors();

    constexpr int stalled_count = 200;
    constexpr int gate = 32;  // the console's cap on connections without the token
    std::vector<std::unique_ptr<tcp_client>> stalled;
    for (int i = 0; i < stalled_count; i++) {
        stalled.push_back(std::make_unique<tcp_client>(rig.port));
        if (i % 2 == 1)
            stalled.back()->send_bytes({'G', 'E', 'T', ' ', '/'});  // a request line that never ends
    }
    std::vector<bool> ended(stalled_count, false);
    auto closed = [&] {
        for (int i = 0; i < stalled_count; i++) {
            pollfd p{stalled[i]->socket(), POLLIN, 0};
            unsigned char byte;
            if (!ended[i] && poll(&p, 1, 0) > 0)
                ended[i] = ::recv(p.fd, &byte, 1, 0) <= 0;
        }
        return static_cast<int>(std::count(ended.begin(), ended.end(), true));
    };
    EXPECT_TRUE(wait_until([&] { return closed() >= stalled_count - gate; })) << closed();
    EXPECT_LE(open_descriptors(), before + gate + 2);
    browser_socket browser(rig.port, rig.token);
    ASSERT_TRUE(browser.open);
    EXPECT_FALSE(browser.next_state().is_null());
    EXPECT_TRUE(wait_until([&] { return closed() == stalled_count; }, milliseconds(8000))) << closed();

    auto status_of = [&](const std::string& token) {
        std::string answer = raw_request(rig.port, "GET /?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return answer.size() >= 12 ? std::stoi(answer.substr(9, 3)) : 0;
    };
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(status_of("wrong-guess-" + std::to_string(i)), 401) << i;
    int guesses = 5;
    while (guesses < 20 && status_of("wrong-guess-" + std::to_string(guesses)) != 429)
        guesses++;
    EXPECT_LT(guesses, 20) << "guessing was never slowed";
    EXPECT_TRUE(wait_until([&] { return status_of(rig.token) == 200; })) << "the wait ends";
    EXPECT_TRUE(wait_until([&] {
        return std::regex_search(read_file(log),
                                 std::regex("Web console: wrong tokens since the last report: [0-9]+, the last from 127\\.0\\.0\\.1"));
    }));
}

// TLS 1.2 offers forward secrecy with authenticated encryption only; TLS 1.3 is offered as well.
TEST(WebConsole, TlsOffersOnlyForwardSecretAeadCiphersOnVersion12)
{
    if (sim_binary().empty() || access("/usr/bin/openssl", X_OK) != 0)
        GTEST_SKIP() << "quillon-sim or openssl is not there";
    temp_folder keys;
    std::string make = "cd '" + keys.path() + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem " +
                       "-out cert.pem -days 2 -subj /CN=localhost > made.txt 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << read_file(keys.file("made.txt"));
    web_rig rig("web_cert " + keys.file("cert.pem") + "\nweb_key " + keys.file("key.pem") + "\n");
    ASSERT_FALSE(rig.token.empty()) << read_file(rig.folder.file("log.txt"));
    struct row_type {
        const char* options;
        bool accepted;
    };
    const row_type rows[] = {
        {"-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", true},
        {"-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305", true},
        {"-tls1_3", true},
        {"-tls1_2 -cipher ECDHE-RSA-AES128-SHA", false},  // CBC
        {"-tls1_2 -cipher AES128-GCM-SHA256", false},     // RSA key exchange, no forward secrecy
        {"-tls1_2 -cipher AES256-SHA256", false},
    };
    for (const row_type& row : rows) {
        std::string out = keys.file("client.txt");
        std::string command = "openssl s_client -connect 127.0.0.1:" + std::to_string(rig.port) + " " + row.options +
                              " < /dev/null > '" + out + "' 2>&1";
        bool accepted = std::system(command.c_str()) == 0 && read_file(out).find("Cipher is (NONE)") == std::string::npos;
        EXPECT_EQ(accepted, row.accepted) << row.options << "\n" << read_file(out);
    }
}

// One driver at a time across kinds: a browser drives, a link client that only connects takes the robot
// and then loses its place to a newcomer after 5 s of silence, and the browser, W held all along, drives
// again only after a fresh press.
TEST(WebConsole, ASilentLinkClientGivesWayAndAHeldKeyMustBePressedAgain)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    web_rig rig;
    browser_socket browser(rig.port, rig.token);
    ASSERT_TRUE(browser.open);
    const std::string press = R"({"type":"drive","w":1})", release = R"({"type":"drive","w":0})";
    // Sends at the page's 20 a second at most, however fast queued states are read: faster is a flood.
    auto last_sent = std::chrono::steady_clock::now() - milliseconds(50);
    auto keep_sending = [&](const std::string& message) {
        if (std::chrono::steady_clock::now() - last_sent < milliseconds(50))
            return;
        last_sent = std::chrono::steady_clock::now();
        browser.send(message);
    };
    // Holds W until the state's driver passes the test.
    auto hold_until = [&](const std::string& message, auto test, milliseconds limit) {
        return wait_until([&] {
            keep_sending(message);
            json::value s = browser.next_state(milliseconds(50));
            return !s.is_null() && test(s);
        }, limit);
    };
    auto you_drive = [](const json::value& s) { return s.at("you_drive").as_bool(); };
    auto driver_is = [](const char* name) {
        return [name](const json::value& s) { return s.at("driver").as_string() == name; };
    };
    ASSERT_TRUE(hold_until(press, you_drive, std::chrono::seconds(5)));

    tcp_client silent;
    ASSERT_TRUE(silent.connected());
    auto connected = std::chrono::steady_clock::now();
    ASSERT_TRUE(hold_until(press, driver_is("link"), std::chrono::seconds(3)));

    // A newcomer is refused until the first client has been silent for 5 s, then takes its place.
    std::unique_ptr<tcp_client> newcomer;
    ASSERT_TRUE(wait_until([&] {
        keep_sending(press);
        browser.next_state(milliseconds(50));
        newcomer = std::make_unique<tcp_client>();
        return newcomer->send_bytes(control_message(0x00, 0x40, 0x40)) && newcomer->receive(21).size() == 21;
    }, std::chrono::seconds(12)));
    EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(4900));
    EXPECT_TRUE(silent.closed_by_peer());
    EXPECT_TRUE(wait_for_line(rig.folder.file("log.txt"), "Client silent for 5 s: its place goes to the newcomer"));
    // Its first message drives the board, though a browser held W when it came.
    size_t mark = rig.received();
    EXPECT_TRUE(wait_until([&] { return rig.board_has(mark, [](const board_command_type& c) { return c.forward(); }); }));

    newcomer.reset();
    ASSERT_TRUE(hold_until(press, driver_is("none"), std::chrono::seconds(3)));
    EXPECT_FALSE(hold_until(press, you_drive, milliseconds(500))) << "W held across the link drove without a new press";
    last_sent = std::chrono::steady_clock::now();
    browser.send(release);
    EXPECT_TRUE(hold_until(press, you_drive, std::chrono::seconds(3)));

    // A browser that sends more than 100 messages a second is closed, its STOPs counted in few lines.
    for (int i = 0; i < 300 && browser.try_send(R"({"type":"stop"})"); i++) {
    }
    EXPECT_TRUE(wait_for_line(rig.folder.file("log.txt"), "sent more than 100 messages a second; closed"));
    EXPECT_TRUE(wait_until([&] { return browser.next_state(milliseconds(100)).is_null() && !browser.open; }));
    EXPECT_LE(count_lines_containing(rig.folder.file("log.txt"), "STOP from browser"), 2);
}

namespace {

size_t entries_in(const std::string& folder)
{
    std::error_code error;
    size_t count = 0;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        count++;
    return count;
}

long resident_kb(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

} // namespace

// The attack that once ran the program away: one Foxglove client asks for the log a thousand times
// over, then stops reading. Its subscriptions are one per channel, its drops are not logged into the
// log it drops from, it is closed once it has read nothing for a while, and everything it held goes.
TEST(WebConsole, AFoxgloveClientThatStopsReadingIsClosedAndLetGo)
{
    if (sim_binary().empty())
        GTEST_SKIP() << "quillon-sim is not built";
    // A capture's pictures fill what the client does not read.
    web_rig rig("camera_pipeline videotestsrc is-live=true pattern=snow ! video/x-raw,width=320,height=240,framerate=30/1\n");
    pid_t pid = rig.program->pid();
    std::string fds = "/proc/" + std::to_string(pid) + "/fd", tasks = "/proc/" + std::to_string(pid) + "/task";
    ASSERT_TRUE(wait_until([&] { return read_file(rig.folder.file("log.txt")).find("Image Complete") != std::string::npos; }));
    size_t fds_before = entries_in(fds), threads_before = entries_in(tasks);
    long memory_before = resident_kb(pid);

    net::io_context ioc;
    beast::websocket::stream<beast::tcp_stream> ws{ioc};
    auto& socket = beast::get_lowest_layer(ws).socket();
    socket.open(net::ip::tcp::v4());
    socket.set_option(net::socket_base::receive_buffer_size(4096));  // a client that holds little
    socket.connect({net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(rig.port)});
    ws.set_option(beast::websocket::stream_base::decorator([](beast::websocket::request_type& request) {
        request.set(beast::http::field::sec_websocket_protocol, "foxglove.websocket.v1");
    }));
    ws.handshake("127.0.0.1", "/?token=" + rig.token);
    for (int message = 0; message < 18; message++) {
        std::string subscribe = R"({"op":"subscribe","subscriptions":[)";
        for (int i = 0; i < 64; i++)
            subscribe += (i ? "," : "") + std::string("{\"id\":") + std::to_string(message * 64 + i) +
                         ",\"channelId\":" + std::to_string(i < 4 ? i + 1 : 3) + "}";
        ws.write(net::buffer(subscribe + "]}"));
    }
    // From here on it reads nothing.
    std::string log = rig.folder.file("log.txt");
    ASSERT_TRUE(wait_for_line(log, "Foxglove client 1 read nothing for 10 s; closed", std::chrono::seconds(90)));
    EXPECT_TRUE(wait_for_line(log, "Foxglove: client 1 left"));
    EXPECT_EQ(count_lines_containing(log, "Foxglove: client 1"), 2) << "connected and left, no line per drop";
    EXPECT_TRUE(wait_until([&] { return entries_in(fds) <= fds_before; })) << entries_in(fds) << " descriptors";
    EXPECT_EQ(entries_in(tasks), threads_before);
    long grown = resident_kb(pid) - memory_before;
    std::printf("[ figures  ] stalled Foxglove client: %zu -> %zu descriptors, %zu threads, %+ld kB resident\n",
                fds_before, entries_in(fds), entries_in(tasks), grown);
    if (resident_memory_meaningful) {
        EXPECT_LT(grown, 32 * 1024);
    }

    // The program still answers its operator link.
    tcp_client link;
    ASSERT_TRUE(link.send_bytes(control_message(0x00, 0x80, 0x80)));
    EXPECT_EQ(link.receive(21).size(), 21u);
}

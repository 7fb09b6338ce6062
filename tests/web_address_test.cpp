// The console's address: the PC's IPv4 addresses in the log without the token, on the status display
// with it, and again on the display every repeat period until a browser has connected.
#include "web/web_address.h"

#include "services/message_lines.h"

#include "bus_support.h"

#include "web/web_server.h"
#include "web/web_session.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

int shown_address_lines(const std::string& token)
{
    std::vector<std::string> shown = message_lines_shown();
    return static_cast<int>(std::count_if(shown.begin(), shown.end(), [&](const std::string& line) {
        return line.rfind("Web console: http://", 0) == 0 && line.find(token) != std::string::npos;
    }));
}

} // namespace

TEST(WebAddress, AddressesLogLineAndDisplayLines)
{
    struct case_type {
        std::string listening;
        bool tls;
        std::vector<std::string> local;
        std::vector<std::string> urls;
    };
    const case_type cases[] = {
        {"", false, {"192.168.1.20", "10.0.0.7"}, {"http://192.168.1.20:8080/", "http://10.0.0.7:8080/"}},
        {"0.0.0.0", true, {"192.168.1.20"}, {"https://192.168.1.20:8080/"}},
        {"", false, {}, {"http://localhost:8080/"}},
        {"10.0.0.7", false, {"192.168.1.20"}, {"http://10.0.0.7:8080/"}},
        {"::1", false, {}, {"http://[::1]:8080/"}},
    };
    for (const case_type& c : cases)
        EXPECT_EQ(web_address_urls(c.listening, c.tls, 8080, c.local), c.urls) << c.listening;

    std::vector<std::string> urls = {"http://192.168.1.20:8080/", "http://10.0.0.7:8080/"};
    EXPECT_EQ(web_address_log_line(urls, "web_token.txt"),
              "Web console: http://192.168.1.20:8080/ or http://10.0.0.7:8080/ (the token is in web_token.txt)");
    EXPECT_EQ(web_address_display_lines(urls, "abcdefgh12345678", 1),
              std::vector<std::string>{"Web console: http://192.168.1.20:8080/?token=abcdefgh12345678"});
}

TEST(WebAddress, TheDisplayShowsTheAddressAgainUntilABrowserHasConnected)
{
    bus_test::test_log log;
    web_config_type web_config;
    {
        boost::asio::io_context ioc;
        boost::asio::ip::tcp::acceptor probe(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
        web_config.port = probe.local_endpoint().port();
    }
    web_config.address = "127.0.0.1";
    web_config.token = "address-test-token";
    web_config.address_repeat = std::chrono::milliseconds(100);
    int before = shown_address_lines(web_config.token);
    web_start(nullptr, web_config);
    ASSERT_TRUE(web_running()) << "the console did not start";
    auto shown = [&] { return shown_address_lines(web_config.token) - before; };
    auto wait_for = [&](int count) {
        for (int i = 0; i < 300 && shown() < count; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return shown() >= count;
    };
    EXPECT_TRUE(wait_for(3)) << "the address was not shown again: " << shown();
    EXPECT_FALSE(log.has("Web console: http://127.0.0.1:" + std::to_string(web_config.port) +
                         "/?token=" + web_config.token)) << "the token reached the log";
    EXPECT_TRUE(log.wait_for("Web console: http://127.0.0.1:" + std::to_string(web_config.port) +
                             "/ (the token is in config.txt, key web_token)"));

    // A browser comes (and goes): the address is not repeated any more.
    web_peer_type browser;
    browser.send_state = [](std::shared_ptr<const std::string>) {};
    browser.send_frame = [](std::shared_ptr<const std::string>) {};
    browser.close = [](bool) {};
    web_registry().remove(web_registry().add(browser));
    int after_browser = shown() + 1;  // at most one repeat was already on its way
    std::this_thread::sleep_for(4 * web_config.address_repeat);  // four periods: nothing may come
    EXPECT_LE(shown(), after_browser);
    web_stop();
}

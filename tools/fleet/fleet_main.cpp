// quillon-fleet: watches every robot on an MQTT broker and serves the fleet page.
//   quillon-fleet --broker URL --port N [--address A] [--token T] [--user U --password P] [--ca FILE]
//                 [--cert FILE --key FILE]
#include "fleet_hub.h"
#include "fleet_mqtt.h"
#include "fleet_web.h"
#include "web/web_token.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

const char* usage_text =
    "usage: quillon-fleet --broker URL --port N [--address A] [--token T] [--user U --password P] [--ca FILE]\n"
    "                     [--cert FILE --key FILE]\n"
    "  --broker   mqtt://host:port or mqtts://host:port\n"
    "  --port     the fleet page's TCP port;  --address  its local address (default every interface)\n"
    "  --token    the page's access token (default: a random one, printed)\n"
    "  --user, --password   broker credentials;  --ca  CA certificate (PEM) for mqtts\n"
    "  --cert, --key   the page's certificate chain and private key (PEM): the page over https only\n";

struct options_type {
    fleet_mqtt_options_type mqtt;
    std::string address, token, cert, key;
    int port = 0;
};

// Returns 0 to run, 1 after --help, 2 for bad arguments.
int parse_options(int argc, char** argv, options_type& options)
{
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(usage_text, stdout);
            return 1;
        }
        std::string* text = name == "--broker"     ? &options.mqtt.broker
                            : name == "--address"  ? &options.address
                            : name == "--token"    ? &options.token
                            : name == "--user"     ? &options.mqtt.user
                            : name == "--password" ? &options.mqtt.password
                            : name == "--ca"       ? &options.mqtt.ca
                            : name == "--cert"     ? &options.cert
                            : name == "--key"      ? &options.key
                                                   : nullptr;
        if ((text == nullptr && name != "--port") || i + 1 >= argc) {
            std::fprintf(stderr, "quillon-fleet: bad option '%s'\n%s", argv[i], usage_text);
            return 2;
        }
        if (text != nullptr)
            *text = argv[++i];
        else
            options.port = std::atoi(argv[++i]);
    }
    if (options.mqtt.broker.empty() || options.port < 1 || options.port > 65535 ||
        options.cert.empty() != options.key.empty()) {
        std::fputs(usage_text, stderr);
        return 2;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    options_type options;
    int parsed = parse_options(argc, argv, options);
    if (parsed != 0)
        return parsed == 1 ? 0 : 2;
    if (!options.token.empty() && !web_token_valid(options.token)) {
        std::fputs("quillon-fleet: a token is 8 to 128 letters, digits, \"-\", \"_\", \".\" or \"~\"\n", stderr);
        return 2;
    }
    if (options.token.empty())
        options.token = web_make_token();
    if (options.token.empty()) {
        std::fputs("quillon-fleet: no random token could be made; give one with --token\n", stderr);
        return 1;
    }
    // Before the io_context: sessions it still holds when it goes use them.
    fleet_hub_class hub;
    fleet_site_type site;
    boost::asio::ssl::context ssl{boost::asio::ssl::context::tls_server};
    if (!options.cert.empty() && !fleet_web_tls(ssl, options.cert, options.key))
        return 1;
    site.ssl = options.cert.empty() ? nullptr : &ssl;
    site.token = options.token;
    site.page = fleet_web_page();
    site.hub = &hub;
    boost::asio::io_context ioc{1};
    site.publish = [](const fleet_command_type& command) { fleet_mqtt_publish(command.topic, command.payload); };
    if (!fleet_web_start(ioc, options.address, options.port, &site))
        return 1;
    unsigned long dropped = 0;
    bool started = fleet_mqtt_start(options.mqtt, [&](std::string_view topic, std::string_view payload) {
        boost::asio::post(ioc, [&, topic = std::string(topic), payload = std::string(payload)] {
            if (!hub.receive(topic, payload) && dropped++ % 1000 == 0)
                std::fprintf(stderr, "quillon-fleet: dropped a malformed message on %s (%lu so far)\n",
                             topic.c_str(), dropped);
        });
    });
    if (!started)
        return 1;
    std::printf("quillon-fleet: %s://%s:%d/?token=%s\n", site.ssl != nullptr ? "https" : "http",
                options.address.empty() ? "localhost" : options.address.c_str(), options.port, options.token.c_str());
    std::fflush(stdout);
    boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code, int) { ioc.stop(); });
    ioc.run();
    fleet_mqtt_stop();
    return 0;
}

// A Foxglove client's session, plain or TLS alike: on its own strand, with every pending operation
// holding it alive; the hub reaches it through posts.
#include "web/foxglove_session.h"

#include "app/utility.h"
#include "robot/drivers.h"
#include "web/foxglove_hub.h"
#include "web/foxglove_outbox.h"
#include "web/foxglove_protocol.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <array>
#include <map>

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;

namespace {

using request_type = http::request<http::string_body>;

bool twist_schema(const std::string& name)
{
    return name == "geometry_msgs/Twist" || name == "geometry_msgs/msg/Twist";
}

template <class Stream> class foxglove_session : public std::enable_shared_from_this<foxglove_session<Stream>> {
public:
    foxglove_session(Stream&& stream, const web_site_type& site) : ws(std::move(stream)), site(site) {}
    ~foxglove_session()
    {
        if (id == 0)
            return;
        foxglove_hub_remove(id);
        if (drove)
            drivers_leave(driver_kind::foxglove, id);
        log("Foxglove: client %llu left", static_cast<unsigned long long>(id));
    }

    void run(request_type request)
    {
        id = foxglove_hub_add(make_peer());
        beast::get_lowest_layer(ws).expires_never();
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, "Quillon");
            response.set(http::field::sec_websocket_protocol, foxglove_subprotocol);
        }));
        ws.read_message_max(foxglove_message_max);
        ws.async_accept(request, beast::bind_front_handler(&foxglove_session::on_accept, this->shared_from_this()));
    }

private:
    foxglove_peer_type make_peer()
    {
        std::weak_ptr<foxglove_session> weak = this->weak_from_this();
        foxglove_peer_type peer;
        peer.channels = subscribed;
        peer.deliver = [weak](channel_kind kind, std::shared_ptr<const std::string> payload, uint64_t time) {
            if (auto self = weak.lock())
                net::post(self->ws.get_executor(), [self, kind, payload, time] { self->deliver(kind, payload, time); });
        };
        peer.close = [weak] {
            if (auto self = weak.lock())
                net::post(self->ws.get_executor(), [self] { self->close(false); });
        };
        return peer;
    }

    void on_accept(beast::error_code error)
    {
        if (error)
            return;
        accepted = true;
        log("Foxglove: client %llu connected", static_cast<unsigned long long>(id));
        send_control(foxglove_server_info("quillon-" + std::to_string(id)));
        send_control(foxglove_advertise());
        read();
    }

    void read()
    {
        ws.async_read(buffer, beast::bind_front_handler(&foxglove_session::on_read, this->shared_from_this()));
    }

    // Any error (the client closed, a message over the limit, a time-out) ends the session once its
    // other operations have ended too.
    void on_read(beast::error_code error, size_t)
    {
        if (error)
            return;
        std::string message = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        foxglove_request_type request = ws.got_text() ? foxglove_parse_text(message) : foxglove_parse_binary(message);
        take(request);
        if (!closing)
            read();
    }

    void take(const foxglove_request_type& request)
    {
        switch (request.kind) {
        case foxglove_request_kind::subscribe: subscribe(request); break;
        case foxglove_request_kind::unsubscribe: unsubscribe(request); break;
        case foxglove_request_kind::advertise: advertise(request); break;
        case foxglove_request_kind::unadvertise: unadvertise(request); break;
        case foxglove_request_kind::get_parameters:
            send_control(foxglove_parameter_values(foxglove_hub_parameters(), request.names, request.request_id));
            break;
        case foxglove_request_kind::publish: publish(request); break;
        case foxglove_request_kind::invalid: send_control(foxglove_status(2, request.error)); break;
        }
    }

    void subscribe(const foxglove_request_type& request)
    {
        for (const foxglove_subscription_type& subscription : request.subscriptions) {
            if (subscription.channel < 1 || subscription.channel > channel_count) {
                send_control(foxglove_status(1, "no channel " + std::to_string(subscription.channel)));
                continue;
            }
            subscriptions[subscription.id] = static_cast<channel_kind>(subscription.channel - 1);
        }
        publish_mask();
    }

    void unsubscribe(const foxglove_request_type& request)
    {
        for (uint32_t subscription : request.ids)
            subscriptions.erase(subscription);
        publish_mask();
    }

    void publish_mask()
    {
        unsigned int mask = 0;
        for (auto& [subscription, kind] : subscriptions)
            mask |= foxglove_channel_bit(kind);
        subscribed->store(mask);
        foxglove_hub_subscriptions_changed();
    }

    void advertise(const foxglove_request_type& request)
    {
        for (const foxglove_client_channel_type& channel : request.channels) {
            bool drives = twist_schema(channel.schema_name) && channel.encoding == "json";
            if (!drives)
                send_control(foxglove_status(1, "channel " + channel.topic.substr(0, 80) +
                                                    " is not taken: Quillon takes geometry_msgs/Twist in json"));
            if (client_channels.size() < foxglove_list_max)
                client_channels[channel.id] = drives;
        }
    }

    void unadvertise(const foxglove_request_type& request)
    {
        for (uint32_t channel : request.ids) {
            auto found = client_channels.find(channel);
            if (found == client_channels.end())
                continue;
            if (found->second && drove)
                drivers_leave(driver_kind::foxglove, id);
            client_channels.erase(found);
        }
    }

    void publish(const foxglove_request_type& request)
    {
        auto found = client_channels.find(request.channel);
        if (found == client_channels.end() || !found->second) {
            send_control(foxglove_status(1, "channel " + std::to_string(request.channel) + " is not advertised"));
            return;
        }
        drive_command_type command;
        command.proportional = true;
        if (!foxglove_parse_twist(request.payload, &command.forward, &command.turn)) {
            send_control(foxglove_status(1, "a Twist needs linear.x and angular.z"));
            return;
        }
        drove = true;
        drivers_drive(driver_kind::foxglove, id, command);
    }

    void deliver(channel_kind kind, const std::shared_ptr<const std::string>& payload, uint64_t time)
    {
        for (auto& [subscription, channel] : subscriptions) {
            if (channel != kind)
                continue;
            foxglove_outgoing_type message{foxglove_message_header(subscription, time), payload, true};
            if (kind == channel_kind::telemetry)
                outbox.set_telemetry(std::move(message));
            else if (kind == channel_kind::camera)
                outbox.set_camera(std::move(message));
            else if (!outbox.push_data(std::move(message)) && outbox.dropped() % 1000 == 1)
                log("Foxglove: client %llu reads too slowly; %llu messages dropped",
                    static_cast<unsigned long long>(id), static_cast<unsigned long long>(outbox.dropped()));
        }
        pump();
    }

    void send_control(std::string text)
    {
        // A client that lets answers pile up while it sends more is not reading: it goes.
        if (!outbox.push_control(std::move(text))) {
            close(true);
            return;
        }
        pump();
    }

    // Starts a write when none is in flight; the written message stays in the outbox until it is done.
    void pump()
    {
        if (!accepted || closing || !outbox.start_next())
            return;
        const foxglove_outgoing_type& message = outbox.in_flight();
        ws.binary(message.binary);
        std::array<net::const_buffer, 2> parts{net::buffer(message.head),
                                               message.payload ? net::buffer(*message.payload) : net::const_buffer()};
        ws.async_write(parts, beast::bind_front_handler(&foxglove_session::on_write, this->shared_from_this()));
    }

    void on_write(beast::error_code error, size_t)
    {
        outbox.write_done();
        if (!error)
            pump();
    }

    void close(bool hard)
    {
        if (hard || !accepted) {
            closing = true;
            beast::error_code ignored;
            beast::get_lowest_layer(ws).socket().close(ignored);
            return;
        }
        if (closing)
            return;
        closing = true;
        ws.async_close(websocket::close_code::going_away, [self = this->shared_from_this()](beast::error_code) {});
    }

    websocket::stream<Stream> ws;
    const web_site_type& site;
    beast::flat_buffer buffer{foxglove_message_max + 1024};
    foxglove_outbox_class outbox;
    std::shared_ptr<std::atomic<unsigned int>> subscribed = std::make_shared<std::atomic<unsigned int>>(0);
    std::map<uint32_t, channel_kind> subscriptions;  // the client's subscription ids and their channels
    std::map<uint32_t, bool> client_channels;        // the client's advertised channels: true for a Twist
    uint64_t id = 0;        // the client number, once registered; the driver id too
    bool accepted = false;  // the WebSocket handshake is done: writes may start
    bool closing = false;   // a close has begun: no new writes
    bool drove = false;     // a Twist was submitted: leave the driver model when going
};

} // namespace

void foxglove_session_start(beast::tcp_stream&& stream, request_type request, const web_site_type& site)
{
    std::make_shared<foxglove_session<beast::tcp_stream>>(std::move(stream), site)->run(std::move(request));
}

void foxglove_session_start(beast::ssl_stream<beast::tcp_stream>&& stream, request_type request,
                            const web_site_type& site)
{
    std::make_shared<foxglove_session<beast::ssl_stream<beast::tcp_stream>>>(std::move(stream), site)
        ->run(std::move(request));
}

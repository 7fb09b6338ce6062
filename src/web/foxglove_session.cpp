// A Foxglove client's session, plain or TLS alike, on the shared WebSocket machinery: what it adds is the
// protocol's greeting, its client rules, and delivery of the hub's channels into its outbox.
#include "web/foxglove_session.h"

#include "services/log.h"
#include "robot/drivers.h"
#include "web/foxglove_client.h"
#include "web/foxglove_hub.h"
#include "web/foxglove_outbox.h"
#include "web/foxglove_protocol.h"
#include "web/web_socket.h"

namespace beast = boost::beast;
namespace net = boost::asio;

namespace {

constexpr auto drop_status_period = std::chrono::seconds(10);

template <class Stream> class foxglove_session : public web_socket_class<foxglove_session<Stream>, Stream> {
    using base = web_socket_class<foxglove_session<Stream>, Stream>;
    friend base;

public:
    static constexpr const char* kind_name = "Foxglove client";

    explicit foxglove_session(Stream&& stream) : base(std::move(stream)) {}
    ~foxglove_session() { this->end(); }

    void run(web_socket_request request)
    {
        id = foxglove_hub_add(make_peer());
        this->accept(std::move(request), foxglove_subprotocol, foxglove_message_max);
    }

    uint64_t session_id() const { return id; }

private:
    foxglove_peer_type make_peer()
    {
        std::weak_ptr<foxglove_session> weak = this->weak_from_this();
        foxglove_peer_type peer;
        peer.channels = subscribed;
        peer.deliver = [weak](channel_kind kind, std::shared_ptr<const std::string> payload, uint64_t time) {
            base::post(weak, [kind, payload, time](foxglove_session& s) { s.deliver(kind, payload, time); });
        };
        peer.close = [weak] { base::post(weak, [](foxglove_session& s) { s.close(false); }); };
        peer.notify = [weak](std::string text) {
            base::post(weak, [text](foxglove_session& s) { s.notify(text); });
        };
        return peer;
    }

    void on_open()
    {
        log_write("Foxglove: client %llu connected", static_cast<unsigned long long>(id));
        send_control(foxglove_server_info(foxglove_hub_session_id()));
        send_control(foxglove_advertise());
    }

    void on_message(const std::string& kept, bool binary, uint64_t size)
    {
        foxglove_request_type request;
        if (size > foxglove_message_max)
            request.error = "a message may hold at most " + std::to_string(foxglove_message_max) + " bytes";
        else
            request = binary ? foxglove_parse_binary(kept) : foxglove_parse_text(kept);
        auto now = std::chrono::steady_clock::now();
        foxglove_actions_type actions = client.take(request, now, foxglove_hub_parameters());
        if (actions.drive)
            drivers_drive(driver_kind::foxglove, id, actions.command);
        if (actions.leave)
            drivers_leave(driver_kind::foxglove, id);
        for (std::string& reply : actions.replies)
            send_control(std::move(reply));
        if (actions.subscriptions_changed) {
            subscribed->store(client.channel_mask());
            foxglove_hub_subscriptions_changed();
        }
        if (actions.close) {
            long closed = 0;
            if (web_drive_limit_note_close(now, &closed))
                log_write("Foxglove: client %llu sent more than %d messages a second; closed (%ld such since the last line)",
                    static_cast<unsigned long long>(id), web_message_rate_limit, closed);
            this->close_after_queue();
        }
    }

    // The session is over: the hub no longer reaches it, and what waits for it goes.
    void on_over()
    {
        foxglove_hub_remove(id);
        if (client.drove())
            drivers_leave(driver_kind::foxglove, id);
        outbox.release();
        if (outbox.dropped() > 0)
            log_write("Foxglove: client %llu left; %llu messages were dropped as it read too slowly",
                static_cast<unsigned long long>(id), static_cast<unsigned long long>(outbox.dropped()));
        else
            log_write("Foxglove: client %llu left", static_cast<unsigned long long>(id));
    }

    // The client's own subscription carries the message; a full queue drops it and tells the client (not
    // the log, which may be the channel it is dropping from).
    void deliver(channel_kind kind, const std::shared_ptr<const std::string>& payload, uint64_t time)
    {
        uint32_t subscription = 0;
        if (!client.subscription(kind, &subscription))
            return;
        foxglove_outgoing_type message{foxglove_message_header(subscription, time), payload, true};
        if (kind == channel_kind::telemetry)
            outbox.set_telemetry(std::move(message));
        else if (kind == channel_kind::camera)
            outbox.set_camera(std::move(message));
        else if (!outbox.push_data(std::move(message)))
            tell_dropped();
        this->pump();
    }

    void tell_dropped()
    {
        auto now = std::chrono::steady_clock::now();
        if (drop_told != std::chrono::steady_clock::time_point{} && now - drop_told < drop_status_period)
            return;
        drop_told = now;
        send_control(foxglove_status(1, "this client reads too slowly: " + std::to_string(outbox.dropped()) +
                                            " messages dropped so far"));
    }

    // A notice from the robot; dropped rather than queued past the limit.
    void notify(const std::string& text)
    {
        if (outbox.push_control(foxglove_status(1, text)))
            this->pump();
    }

    void send_control(std::string text)
    {
        // A client that lets answers pile up while it sends more is not reading: it goes.
        if (!outbox.push_control(std::move(text))) {
            this->close(true);
            return;
        }
        this->pump();
    }

    bool next_write(web_socket_parts& parts, bool& binary)
    {
        if (!outbox.start_next())
            return false;
        const foxglove_outgoing_type& message = outbox.in_flight();
        parts = {net::buffer(message.head), message.payload ? net::buffer(*message.payload) : net::const_buffer()};
        binary = message.binary;
        return true;
    }

    void write_done() { outbox.write_done(); }

    foxglove_outbox_class outbox;
    foxglove_client_class client;
    std::shared_ptr<std::atomic<unsigned int>> subscribed = std::make_shared<std::atomic<unsigned int>>(0);
    std::chrono::steady_clock::time_point drop_told{};  // the last status about dropped messages
    uint64_t id = 0;  // the client number, once registered; the driver id too
};

} // namespace

void foxglove_session_start(beast::tcp_stream&& stream, web_socket_request request)
{
    std::make_shared<foxglove_session<beast::tcp_stream>>(std::move(stream))->run(std::move(request));
}

void foxglove_session_start(beast::ssl_stream<beast::tcp_stream>&& stream, web_socket_request request)
{
    std::make_shared<foxglove_session<beast::ssl_stream<beast::tcp_stream>>>(std::move(stream))->run(std::move(request));
}

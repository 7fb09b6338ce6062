// The page WebSockets. Everything runs on the io_context's one thread: the hub, the sessions and the
// site's counts need no locks. Each socket has one write in flight and gathers what arrives meanwhile
// into the next write, a JSON array of events.
#include "fleet_page_socket.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <map>
#include <memory>

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;

namespace {

template <class Stream> class page_socket_class : public std::enable_shared_from_this<page_socket_class<Stream>> {
public:
    page_socket_class(Stream&& stream, fleet_site_type& site) : ws(std::move(stream)), stall(ws.get_executor()), site(site)
    {
        site.pages++;
    }

    ~page_socket_class()
    {
        site.pages--;
        if (handle > 0)
            site.hub->forget(handle);
        release();
    }

    void start(fleet_request_type request)
    {
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.read_message_max(4096);
        ws.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
            if (!error)
                self->listen();
        });
    }

private:
    void listen()
    {
        std::weak_ptr<page_socket_class> weak = this->shared_from_this();
        handle = site.hub->listen([weak](const std::string& slot, const std::string& event) {
            if (auto socket = weak.lock())
                socket->queue(slot, event);
        });
        read();
        write();
    }

    // The newest event of a slot replaces one still waiting.
    void queue(const std::string& slot, const std::string& event)
    {
        if (closed)
            return;
        std::string& waiting = pending[slot];
        pending_bytes = pending_bytes - waiting.size() + event.size();
        waiting = event;
        if (pending_bytes > fleet_page_pending_max)
            return close();
        if (!writing && handle > 0)
            write();
    }

    void write()
    {
        if (pending.empty() || closed)
            return;
        sending = "[";
        for (auto& [slot, event] : pending) {
            sending += sending.size() > 1 ? "," : "";
            sending += event;
        }
        sending += "]";
        pending.clear();
        pending_bytes = 0;
        writing = true;
        stall.expires_after(std::chrono::milliseconds(static_cast<long>(fleet_page_stall * 1000)));
        stall.async_wait([weak = this->weak_from_this()](beast::error_code error) {
            if (auto self = weak.lock(); self && !error)
                self->close();
        });
        ws.text(true);
        ws.async_write(net::buffer(sending), [self = this->shared_from_this()](beast::error_code error, size_t) {
            self->writing = false;
            self->stall.cancel();
            if (!error)
                self->write();
        });
    }

    void read()
    {
        ws.async_read(incoming, [self = this->shared_from_this()](beast::error_code error, size_t) {
            if (error)
                return self->close();
            self->take(beast::buffers_to_string(self->incoming.data()));
            self->incoming.consume(self->incoming.size());
            self->read();
        });
    }

    void take(const std::string& text)
    {
        fleet_command_type command = fleet_parse_command(text);
        if (!command.ok)
            return;
        site.publish(command);
        driving = command.topic.ends_with("/drive") && !command.releases ? command.robot : std::string();
    }

    // A page that goes while holding a robot lets go of it.
    void release()
    {
        if (driving.empty())
            return;
        fleet_command_type command;
        command.ok = true;
        command.robot = driving;
        command.topic = "quillon/" + driving + "/drive";
        command.payload = "{\"keys\":\"\"}";
        site.publish(command);
        driving.clear();
    }

    // Ends the connection at once; its pending operations then end and the session with them.
    void close()
    {
        if (closed)
            return;
        closed = true;
        pending.clear();
        pending_bytes = 0;
        release();
        stall.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().close(ignored);
    }

    websocket::stream<Stream> ws;
    net::steady_timer stall;        // runs while a write is in flight
    fleet_site_type& site;
    beast::flat_buffer incoming;
    std::map<std::string, std::string> pending;  // by slot: the events not yet in a write
    size_t pending_bytes = 0;
    std::string sending;            // the write in flight
    bool writing = false;
    bool closed = false;
    int handle = 0;                 // the hub's, once listening
    std::string driving;            // the robot this page holds
};

// A fixed send buffer: what the kernel holds for a page that does not read stays small too, and its
// writes stall, and close it, once that much waits.
void bound_sending(beast::tcp_stream& stream)
{
    beast::error_code ignored;
    stream.socket().set_option(net::socket_base::send_buffer_size(fleet_page_buffer), ignored);
    stream.expires_never();
}

} // namespace

void fleet_page_start(beast::tcp_stream stream, fleet_request_type request, fleet_site_type& site)
{
    bound_sending(stream);
    std::make_shared<page_socket_class<beast::tcp_stream>>(std::move(stream), site)->start(std::move(request));
}

void fleet_page_start(beast::ssl_stream<beast::tcp_stream> stream, fleet_request_type request, fleet_site_type& site)
{
    bound_sending(beast::get_lowest_layer(stream));
    using tls_stream = beast::ssl_stream<beast::tcp_stream>;
    std::make_shared<page_socket_class<tls_stream>>(std::move(stream), site)->start(std::move(request));
}

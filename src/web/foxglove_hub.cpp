// The Foxglove hub: taps copy what they see and post it to the web thread, which builds each channel's
// message once and hands it to every client that subscribes.
#include "web/foxglove_hub.h"

#include "services/taps.h"
#include "services/time.h"
#include "services/log.h"
#include "bus/controller.h"
#include "imaging/camera.h"
#include "imaging/camera_feed.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace net = boost::asio;

namespace {

// Telemetry follows the board: a message shortly after each controller packet (once the robot has taken
// it), and from the timer when the board is silent, so clients still see 10 a second.
constexpr auto telemetry_check = std::chrono::milliseconds(50);
constexpr auto telemetry_settle = std::chrono::milliseconds(2);
constexpr double telemetry_silence = 0.15;
constexpr double camera_rate = 10.0;  // at most 10 pictures a second from each source
constexpr size_t config_limit = 65536;
// Copies on their way to the web thread: past this, taps are dropped (and counted) until it catches up.
constexpr size_t pending_limit = 8u << 20;
constexpr double drop_report_period = 60.0;

struct hub_type {
    net::io_context* ioc = nullptr;          // set while running, before the tap is added
    std::unique_ptr<net::steady_timer> telemetry_timer;   // the silent board's telemetry
    std::unique_ptr<net::steady_timer> settle_timer;      // telemetry just after a controller packet
    double last_telemetry = 0.0;             // web thread: when telemetry was last sent
    int tap = 0;                             // tap handle while running
    std::vector<foxglove_parameter_type> parameters;
    std::string session_id;                  // this run's, set at the first start
    double last_drop_report = 0.0;           // web thread: when dropped copies were last logged
};

// The producers' side: the copies still on their way to the web thread.
struct tap_state_type {
    std::atomic<size_t> pending{0};          // bytes copied and posted, not yet published
    std::atomic<uint64_t> dropped{0};        // copies not made because too much was pending
    uint64_t reported = 0;                   // web thread: dropped when last logged
};
tap_state_type taps;

hub_type hub;                                 // started and stopped on the window thread
// The connected clients and what they want, shared by the web thread and the producers.
struct peers_state_type {
    std::mutex lock;                        // guards the four below
    std::map<uint64_t, foxglove_peer_type> peers;
    uint64_t next_id = 1;                         // client numbers are never reused
    bool running = false;                         // between start and stop: subscriptions turn taps on
    int camera_subscription = 0;                  // the camera feed's handle while a client watches the camera
    std::atomic<int> peer_count{0};
    std::atomic<unsigned int> wanted{0};          // union of every client's channel bits
};

peers_state_type clients;


void distribute(channel_kind kind, std::shared_ptr<const std::string> payload, uint64_t time)
{
    std::vector<foxglove_peer_type> targets;
    {
        std::lock_guard<std::mutex> hold(clients.lock);
        for (auto& [id, peer] : clients.peers)
            if (peer.channels->load() & foxglove_channel_bit(kind))
                targets.push_back(peer);
    }
    for (foxglove_peer_type& peer : targets)
        peer.deliver(kind, payload, time);
}


// On the web thread: the channel's message, built once for every client.
void publish(tap_kind kind, double time, const std::string& data, int device)
{
    uint64_t stamp = channels_wall_ns(time);
    std::string payload;
    channel_kind channel = channel_kind::log;
    if (kind == tap_kind::log_line) {
        payload = channels_log_json(data.data(), data.size(), stamp);
    } else {
        channel = channel_kind::bus;
        payload = channels_bus_json(kind == tap_kind::bus_sent, device,
                                    reinterpret_cast<const unsigned char*>(data.data()), data.size(), stamp);
    }
    distribute(channel, std::make_shared<const std::string>(std::move(payload)), stamp);
}

channel_kind channel_of(tap_kind kind)
{
    return kind == tap_kind::log_line ? channel_kind::log : channel_kind::bus;
}

void send_telemetry_now()
{
    hub.last_telemetry = get_time();
    uint64_t stamp = channels_wall_ns(hub.last_telemetry);
    auto payload = std::make_shared<const std::string>(channels_telemetry_json(robot_snapshot(), stamp));
    distribute(channel_kind::telemetry, std::move(payload), stamp);
}

void after_controller_packet()
{
    hub.settle_timer->expires_after(telemetry_settle);
    hub.settle_timer->async_wait([](boost::system::error_code error) {
        if (!error)
            send_telemetry_now();
    });
}

// On the producer's thread: copy and post, nothing more; pictures are paced before they are copied, and
// the copies on their way are bounded.
void on_tap(const tap_event_type& event)
{
    if (event.kind == tap_kind::bus_received && event.device == device_id &&
        (clients.wanted.load() & foxglove_channel_bit(channel_kind::telemetry)))
        net::post(*hub.ioc, after_controller_packet);
    if (event.kind == tap_kind::message_line || !(clients.wanted.load() & foxglove_channel_bit(channel_of(event.kind))))
        return;
    if (event.kind == tap_kind::log_line &&
        !channels_log_wanted(reinterpret_cast<const char*>(event.data), event.length))
        return;
    if (taps.pending.load() + event.length > pending_limit) {
        taps.dropped++;
        return;
    }
    taps.pending += event.length;
    net::post(*hub.ioc, [kind = event.kind, time = event.time, device = event.device,
                         data = std::string(reinterpret_cast<const char*>(event.data), event.length)] {
        taps.pending -= data.size();
        publish(kind, time, data, device);
    });
}

// On the camera's threads: the feed has paced the picture already; copy and post, bounded as the taps are.
void on_picture(const camera_picture_type& picture)
{
    if (taps.pending.load() + picture.length > pending_limit) {
        taps.dropped++;
        return;
    }
    taps.pending += picture.length;
    const char* source = picture.source == camera_source::capture ? "capture" : "serial";
    net::post(*hub.ioc, [source, time = picture.time,
                         data = std::string(reinterpret_cast<const char*>(picture.jpeg), picture.length)] {
        taps.pending -= data.size();
        uint64_t stamp = channels_wall_ns(time);
        auto payload = std::make_shared<const std::string>(
            channels_camera_json(source, reinterpret_cast<const unsigned char*>(data.data()), data.size(), stamp));
        distribute(channel_kind::camera, std::move(payload), stamp);
    });
}

// A line a minute at most, so the log cannot feed itself through this.
void report_drops()
{
    uint64_t dropped = taps.dropped.load();
    if (dropped == taps.reported || get_time() - hub.last_drop_report < drop_report_period)
        return;
    log_write("Foxglove: the web thread fell behind; %llu tapped messages dropped since the last line",
        static_cast<unsigned long long>(dropped - taps.reported));
    taps.reported = dropped;
    hub.last_drop_report = get_time();
}

void check_telemetry()
{
    hub.telemetry_timer->expires_at(hub.telemetry_timer->expiry() + telemetry_check);
    hub.telemetry_timer->async_wait([](boost::system::error_code error) {
        if (error)
            return;
        if ((clients.wanted.load() & foxglove_channel_bit(channel_kind::telemetry)) &&
            get_time() - hub.last_telemetry >= telemetry_silence)
            send_telemetry_now();
        report_drops();
        check_telemetry();
    });
}

// Under peers_lock.
void watch_camera(bool on)
{
    if (on == (clients.camera_subscription != 0))
        return;
    if (!on) {
        camera_feed_unsubscribe(clients.camera_subscription);
        clients.camera_subscription = 0;
        return;
    }
    camera_want_type want;
    want.capture = want.serial = true;
    want.capture_rate = want.serial_rate = camera_rate;
    clients.camera_subscription = camera_feed_subscribe(want, on_picture);
    camera.feed_changed();
}

std::vector<foxglove_parameter_type> read_parameters()
{
    std::string text;
    if (FILE* file = std::fopen("config.txt", "rb")) {
        char block[4096];
        size_t got = 0;
        while (text.size() < config_limit && (got = std::fread(block, 1, sizeof block, file)) > 0)
            text.append(block, got);
        std::fclose(file);
    }
    return foxglove_config_parameters(text.substr(0, config_limit));
}

} // namespace

void foxglove_hub_start(net::io_context& ioc)
{
    hub.ioc = &ioc;
    hub.parameters = read_parameters();
    if (hub.session_id.empty())
        hub.session_id = "quillon-" + std::to_string(channels_wall_ns(get_time()) / 1000000);
    hub.telemetry_timer = std::make_unique<net::steady_timer>(ioc);
    hub.settle_timer = std::make_unique<net::steady_timer>(ioc);
    hub.telemetry_timer->expires_after(telemetry_check);
    check_telemetry();
    hub.tap = tap_add(on_tap);
    std::lock_guard<std::mutex> hold(clients.lock);
    clients.running = true;
}

void foxglove_hub_stop()
{
    if (hub.ioc == nullptr)
        return;
    tap_remove(hub.tap);
    {
        std::lock_guard<std::mutex> hold(clients.lock);
        clients.running = false;
        clients.wanted = 0;
        watch_camera(false);
    }
    hub.telemetry_timer.reset();
    hub.settle_timer.reset();
    hub.ioc = nullptr;
}

void foxglove_hub_close_all()
{
    hub.telemetry_timer->cancel();
    hub.settle_timer->cancel();
    std::vector<foxglove_peer_type> all;
    {
        std::lock_guard<std::mutex> hold(clients.lock);
        for (auto& [id, peer] : clients.peers)
            all.push_back(peer);
    }
    for (foxglove_peer_type& peer : all)
        peer.close();
}

uint64_t foxglove_hub_add(foxglove_peer_type peer)
{
    std::lock_guard<std::mutex> hold(clients.lock);
    uint64_t id = clients.next_id++;
    clients.peers.emplace(id, std::move(peer));
    clients.peer_count = static_cast<int>(clients.peers.size());
    return id;
}

void foxglove_hub_remove(uint64_t id)
{
    {
        std::lock_guard<std::mutex> hold(clients.lock);
        clients.peers.erase(id);
        clients.peer_count = static_cast<int>(clients.peers.size());
    }
    foxglove_hub_subscriptions_changed();
}

int foxglove_hub_count()
{
    return clients.peer_count.load();
}

void foxglove_hub_subscriptions_changed()
{
    std::lock_guard<std::mutex> hold(clients.lock);
    if (!clients.running)
        return;  // stopping: the taps are off already
    unsigned int all = 0;
    for (auto& [id, peer] : clients.peers)
        all |= peer.channels->load();
    clients.wanted = all;
    watch_camera(all & foxglove_channel_bit(channel_kind::camera));
}

const std::string& foxglove_hub_session_id()
{
    return hub.session_id;
}

void foxglove_notice(uint64_t client_id, const std::string& text)
{
    std::function<void(std::string)> notify;
    {
        std::lock_guard<std::mutex> hold(clients.lock);
        auto found = clients.peers.find(client_id);
        if (found == clients.peers.end())
            return;
        notify = found->second.notify;
    }
    notify(text);
}

const std::vector<foxglove_parameter_type>& foxglove_hub_parameters()
{
    return hub.parameters;
}

// The fleet link over libmosquitto (MQTT 5), on a network thread of its own that keeps the robot on its
// broker. Drive and stop go from there to the one-driver model, which applies them on the window thread.
// Everything published (telemetry, message lines, pictures, notices) leaves from the window thread
// without waiting: publishing only queues for the network thread. The sockets, TLS and name look-ups
// here are libmosquitto's, as src/web's are Asio's.
#include "fleet/fleet.h"

#include "services/log.h"
#include "services/message_lines.h"
#include "services/taps.h"
#include "services/time.h"
#include "fleet/fleet_config.h"
#include "imaging/camera.h"
#include "imaging/camera_feed.h"
#include "fleet/fleet_messages.h"
#include "fleet/fleet_name.h"
#include "fleet/fleet_network.h"
#include "fleet/fleet_operators.h"
#include "fleet/fleet_takeover.h"
#include "robot/drivers.h"
#include "robot/motion.h"
#include "robot/robot.h"
#include "robot/snapshot.h"
#include "web/web_server.h"

#include <boost/asio/ip/host_name.hpp>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr double picture_period = 5.0;           // seconds between pictures at most one
constexpr size_t waiting_lines_max = 64;         // message lines held for a tick; the oldest go first
constexpr size_t picture_max = 512 * 1024;       // a bigger picture is not sent
constexpr double refusal_repeat = 1.0;           // seconds between two notices of a refused operator

struct fleet_state_type {
    fleet_config_type config;            // the keys, as start-up gave them
    mosquitto* client = nullptr;
    fleet_network_class network;         // the thread that runs the client
    std::string prefix;                  // quillon/<robot_name>/
    std::string client_id;               // quillon-<robot_name>
    double started = 0.0;                // wall-clock seconds at start
    double next_telemetry = 0.0;         // get_time() of the next telemetry message
    double next_drop_report = 0.0;       // get_time() of the next look at the dropped count
    int tap = -1;
    int camera = 0;                      // the camera feed's handle: the shown camera's pictures
    std::atomic<bool> stopping{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> lost{false};       // the broker went away after a connection
    std::atomic<bool> refused{false};    // a refusal already said
    std::atomic<unsigned long> dropped{0};
    fleet_operators_class operators;     // network thread: the named operators
    fleet_takeover_type takeover;        // network thread: drops that tell of a taken client id
    double refusal_said = -refusal_repeat;  // network thread: get_time() of the last refused-operator notice
    bool retained_said = false;          // network thread: a retained drive was logged on this connection
    std::mutex names_lock;               // guards names
    std::map<uint64_t, std::string> names;  // the named operators' driver ids, for the notices they get
    std::mutex waiting_lock;             // guards lines and picture
    std::deque<std::string> lines;
    std::vector<unsigned char> picture;
};

fleet_state_type* fleet = nullptr;

double wall_time()
{
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

void publish(const std::string& topic, const void* data, size_t length, int qos, bool retain)
{
    mosquitto_publish(fleet->client, nullptr, (fleet->prefix + topic).c_str(), static_cast<int>(length), data,
                      qos, retain);
}

void publish_text(const std::string& topic, const std::string& text, int qos, bool retain)
{
    publish(topic, text.data(), text.size(), qos, retain);
}

// Network thread: whoever drove over MQTT is gone; nothing moves until a fresh, live drive.
void leave_all_operators()
{
    for (uint64_t id : fleet->operators.forget_all())
        drivers_leave(driver_kind::mqtt, id);
}

// Network thread: a connection (or a refusal) after connect or reconnect.
void on_connect(mosquitto*, void*, int rc)
{
    if (rc != 0) {
        if (!fleet->refused.exchange(true))
            add_line("Fleet: broker refused the connection (%s)", mosquitto_reason_string(rc));
        return;
    }
    fleet->network.connected();
    fleet_takeover_connected(fleet->takeover, get_time());
    leave_all_operators();
    fleet->retained_said = false;
    fleet->refused = false;
    fleet->connected = true;
    mosquitto_subscribe(fleet->client, nullptr, (fleet->prefix + "drive").c_str(), 0);
    mosquitto_subscribe(fleet->client, nullptr, (fleet->prefix + "stop").c_str(), 0);
    publish_text("status", fleet_status_online(QUILLON_VERSION, fleet->started, web_console_url()), 1, true);
    if (fleet->lost.exchange(false))
        add_line("Fleet: broker back");
    else
        add_line("Fleet: on the broker as %s", fleet->prefix.c_str());
}

// Network thread: the connection ended. A robot driven over MQTT stops now.
void on_disconnect(mosquitto*, void*, int rc)
{
    leave_all_operators();
    bool was_connected = fleet->connected.exchange(false);
    if (fleet->stopping)
        return;
    if (fleet_takeover_dropped(fleet->takeover, rc, get_time()))
        add_line("Fleet: another client took this robot's client id %s; tie client ids to users on the broker",
                 fleet->client_id.c_str());
    if (was_connected) {
        fleet->lost = true;
        add_line("Fleet: broker lost; reconnecting");
    }
}

// Network thread: a drive from an operator without a place, said at most once a second.
void refuse_operator(const std::string& name)
{
    double now = get_time();
    if (now - fleet->refusal_said < refusal_repeat)
        return;
    fleet->refusal_said = now;
    char text[200];
    std::snprintf(text, sizeof text,
                  "Fleet: drive by %s refused: %d other operators were heard in the last %.0f s",
                  name.c_str(), static_cast<int>(fleet_operators_max), fleet_operator_memory);
    publish_text("messages", text, 0, false);
}

// Network thread: the driver id for an operator's name; 0 when it has no place.
uint64_t operator_id(const std::string& name)
{
    std::vector<uint64_t> gone;
    uint64_t id = fleet->operators.id_for(name, get_time(), gone);
    std::lock_guard<std::mutex> hold(fleet->names_lock);
    for (uint64_t forgotten : gone) {
        drivers_leave(driver_kind::mqtt, forgotten);
        fleet->names.erase(forgotten);
    }
    if (id != 0 && !name.empty())
        fleet->names[id] = name;
    return id;
}

// Network thread: a stop, whatever its payload, retained or not.
void take_stop(std::string_view payload)
{
    uint64_t id = operator_id(fleet_stop_operator(payload));
    drivers_stop(driver_kind::mqtt, id == 0 ? fleet_shared_operator : id);
}

// Network thread: a drive. A retained one was left on the broker for whoever came next, maybe long
// ago: it never moves the robot.
void take_drive(std::string_view payload, bool retained)
{
    if (retained) {
        if (!fleet->retained_said)
            log_write("Fleet - Retained message on %s ignored: clear it with an empty retained message",
                (fleet->prefix + "drive").c_str());
        fleet->retained_said = true;
        return;
    }
    fleet_drive_type drive = fleet_parse_drive(payload);
    if (!drive.ok) {
        fleet->dropped++;
        return;
    }
    uint64_t id = operator_id(drive.by);
    if (id == 0)
        refuse_operator(drive.by);
    else
        drivers_drive(driver_kind::mqtt, id, drive.command);
}

bool is_topic(std::string_view topic, std::string_view name)
{
    const std::string& prefix = fleet->prefix;
    return topic.size() == prefix.size() + name.size() && topic.starts_with(prefix) && topic.ends_with(name);
}

// Network thread: drive or stop, the only topics subscribed.
void on_message(mosquitto*, void*, const mosquitto_message* message)
{
    std::string_view topic = message->topic;
    std::string_view payload(static_cast<const char*>(message->payload), message->payloadlen);
    if (is_topic(topic, "stop"))
        take_stop(payload);
    else if (is_topic(topic, "drive"))
        take_drive(payload, message->retain);
    else
        fleet->dropped++;
}

// Any thread: a copy of what the tick will publish.
void on_tap(const tap_event_type& event)
{
    if (event.kind == tap_kind::message_line) {
        std::lock_guard<std::mutex> hold(fleet->waiting_lock);
        if (fleet->lines.size() >= waiting_lines_max)
            fleet->lines.pop_front();
        fleet->lines.emplace_back(reinterpret_cast<const char*>(event.data), event.length);
    }
}

// The camera's threads: the shown camera's picture, one every picture_period at most, kept for the tick.
void on_picture(const camera_picture_type& picture)
{
    if (picture.length > picture_max)
        return;
    std::lock_guard<std::mutex> hold(fleet->waiting_lock);
    fleet->picture.assign(picture.jpeg, picture.jpeg + picture.length);
}

void publish_waiting()
{
    std::deque<std::string> lines;
    std::vector<unsigned char> picture;
    {
        std::lock_guard<std::mutex> hold(fleet->waiting_lock);
        lines.swap(fleet->lines);
        picture.swap(fleet->picture);
    }
    for (const std::string& line : lines)
        publish_text("messages", line, 0, false);
    if (!picture.empty())
        publish("picture", picture.data(), picture.size(), 0, true);
}

std::string chosen_name(const fleet_config_type& fleet_config)
{
    if (!fleet_config.robot_name.empty())
        return fleet_config.robot_name;
    boost::system::error_code error;
    std::string host = boost::asio::ip::host_name(error);
    return error || host.empty() ? "robot" : host;
}

// The client with its will, credentials, TLS and back-off; false (and a message line) on any refusal.
bool configure_client(const fleet_broker_type& broker, const fleet_config_type& fleet_config)
{
    mosquitto* client = fleet->client;
    std::string offline = fleet_status_offline();
    std::string status = fleet->prefix + "status";
    bool ok = mosquitto_will_set(client, status.c_str(), static_cast<int>(offline.size()), offline.data(), 1, true) ==
              MOSQ_ERR_SUCCESS;
    if (ok && !fleet_config.user.empty())
        ok = mosquitto_username_pw_set(client, fleet_config.user.c_str(),
                                       fleet_config.password.empty() ? nullptr : fleet_config.password.c_str()) ==
             MOSQ_ERR_SUCCESS;
    if (ok && broker.tls) {
        int rc = fleet_config.ca.empty() ? mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                                         : mosquitto_tls_set(client, fleet_config.ca.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            add_line("Fleet: mqtt_ca %s not usable (%s); no fleet link", fleet_config.ca.c_str(), mosquitto_strerror(rc));
            return false;
        }
    }
    if (!ok) {
        add_line("Fleet: the MQTT client could not be set up; no fleet link");
        return false;
    }
    // MQTT 5 for the broker's reasons when it drops the robot; no Nagle delay, so a STOP right behind a
    // drive leaves at once.
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client, on_connect);
    mosquitto_disconnect_callback_set(client, on_disconnect);
    mosquitto_message_callback_set(client, on_message);
    return true;
}

// Checks the keys; an empty prefix means no link.
std::string checked_prefix(fleet_broker_type& broker, const fleet_config_type& fleet_config)
{
    broker = fleet_parse_broker(fleet_config.broker);
    if (!broker.ok) {
        add_line("Fleet: mqtt_broker '%s' is not mqtt://host:port or mqtts://host:port; no fleet link",
                 fleet_config.broker.c_str());
        return std::string();
    }
    std::string name = chosen_name(fleet_config);
    if (const char* fault = fleet_name_fault(name)) {
        add_line("Fleet: robot_name %s; no fleet link", fault);
        return std::string();
    }
    return "quillon/" + name + "/";
}

void end_client()
{
    if (fleet->tap >= 0)
        tap_remove(fleet->tap);
    if (fleet->client != nullptr)
        mosquitto_destroy(fleet->client);
    delete fleet;
    fleet = nullptr;
    mosquitto_lib_cleanup();
}

} // namespace

void fleet_start(const fleet_config_type& fleet_config)
{
    if (fleet_config.broker.empty() || fleet != nullptr)
        return;
    fleet_broker_type broker;
    std::string prefix = checked_prefix(broker, fleet_config);
    if (prefix.empty())
        return;
    log_write("Fleet - Start %s as %s", fleet_config.broker.c_str(), prefix.c_str());
    mosquitto_lib_init();
    fleet = new fleet_state_type;
    fleet->config = fleet_config;
    fleet->prefix = prefix;
    fleet->started = wall_time();
    fleet->client_id = "quillon-" + prefix.substr(8, prefix.size() - 9);
    fleet->client = mosquitto_new(fleet->client_id.c_str(), true, nullptr);
    if (fleet->client == nullptr || !configure_client(broker, fleet_config)) {
        end_client();
        return;
    }
    // A broker not there yet is no failure: the network thread keeps trying with back-off.
    if (!fleet->network.start(fleet->client, broker.host, broker.port, fleet_config.keepalive)) {
        add_line("Fleet: the MQTT network thread did not start; no fleet link");
        end_client();
        return;
    }
    fleet->tap = tap_add(on_tap);
    fleet->camera = camera_feed_subscribe(camera.shown(1.0 / picture_period), on_picture);
    camera.feed_changed();
    // An MQTT operator whose drive the motion authority refuses reads why on the messages topic.
    motion_listen(driver_kind::mqtt, [](uint64_t id, const std::string& text) {
        std::string who = "everyone without a name";
        {
            std::lock_guard<std::mutex> hold(fleet->names_lock);
            auto named = fleet->names.find(id);
            if (named != fleet->names.end())
                who = named->second;
        }
        fleet_notice("Drive by " + who + " refused: " + text);
    });
}

void fleet_stop()
{
    if (fleet == nullptr)
        return;
    log_write("Fleet - Stop");
    motion_listen(driver_kind::mqtt, {});
    fleet->stopping = true;
    if (fleet->tap >= 0)
        tap_remove(fleet->tap);
    fleet->tap = -1;
    camera_feed_unsubscribe(fleet->camera);
    fleet->camera = 0;
    if (fleet->connected) {
        std::string offline = fleet_status_offline();
        publish_text("status", offline, 0, true);
    }
    fleet->network.stop();
    leave_all_operators();
    end_client();
}

void fleet_check(double now)
{
    if (fleet == nullptr)
        return;
    publish_waiting();
    if (now >= fleet->next_telemetry) {
        fleet->next_telemetry = now + 1.0 / fleet->config.rate;
        if (fleet->connected)
            publish_text("telemetry", fleet_telemetry_json(robot_snapshot(), wall_time()), 0, false);
    }
    if (now >= fleet->next_drop_report) {
        fleet->next_drop_report = now + 60.0;
        unsigned long dropped = fleet->dropped.exchange(0);
        if (dropped > 0)
            log_write("Fleet - %lu malformed or oversized messages dropped in the last minute", dropped);
    }
}

bool fleet_running()
{
    return fleet != nullptr;
}

void fleet_notice(const std::string& text)
{
    if (fleet != nullptr && fleet->connected)
        publish_text("messages", text, 0, false);
}

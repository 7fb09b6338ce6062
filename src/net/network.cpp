// The operator link: a single-client TCP server on the window thread, its message parser and its replies.
#include "net/network.h"

#include "services/time.h"
#include "services/log.h"
#include "services/message_lines.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/socket.h"
#include "robot/drivers.h"
#include "robot/motion.h"
#include "robot/robot.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

int network_port = 32459;

namespace {

// Every socket event the link asks for; the link acts on FD_ACCEPT, FD_READ and FD_CLOSE.
constexpr long network_event_mask = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
// A client silent this long (no control message since its accept or its last one) gives up the slot when
// another knocks: a connection that sends nothing must not lock the rightful operator out.
constexpr double slot_silence_seconds = 5.0;
// How long the listening socket goes unwatched after a refused or failed accept: a connection that cannot
// be taken (descriptors used up, or the slot held) stays readable, and would otherwise wake the loop at once.
constexpr double accept_pause_seconds = 0.25;

// The link's state. Socket handles are written on the window thread, the client's under send_lock so that
// a send from another thread never meets a handle being closed.
struct link_type {
    int listen_socket = -1;                    // the listening socket, or -1
    int client_socket = -1;                    // the one held client, or -1
    std::atomic<bool> client_connected{false}; // held, and no send has failed since the accept
    std::atomic<int> cut_socket{-1};           // a client whose stream holds a cut message; the window thread drops it
    double last_client_time = 0.0;             // the accept or the last control message
    bool accept_paused = false;                // the listening socket is unwatched until accept_resume_time
    double accept_resume_time = 0.0;           // when it is watched again
    std::mutex send_lock;                      // makes every send on client_socket whole; guards the backlog
    // Bytes the client's socket had no room for: the rest of a message already begun, and the replies that
    // came after it. Nothing ever waits for room: the backlog goes out on later sends and on every tick.
    // An image is not queued behind it, so a slow reader loses images, never replies.
    std::vector<unsigned char> backlog;
    size_t backlog_replies = 0;                // bytes of replies queued since the backlog was last empty
    window_handle window = nullptr;            // receives the socket events
    network_parser_type incoming;              // the client's unfinished message, window thread only
    std::function<void()> image_request;       // hands an image request to the camera, as the shell wired it
    std::string address;                       // the one local address it listens on, or every one
};

// A client that leaves this much of replies unread while it goes on sending is not reading at all.
constexpr size_t backlog_reply_limit = 64 * 1024;

link_type link_state;

// The link's intents: from the window thread they are applied at once; a failed send on another thread
// (the camera's) waits for the window thread like any remote driver's.
intent_type link_intent_of(intent_action action)
{
    intent_type intent;
    intent.who = {driver_kind::link, 0};
    intent.action = action;
    return intent;
}

void link_intent(intent_action action)
{
    drivers_submit(link_intent_of(action));
}

void link_now(intent_action action, double now, const unsigned char* record = nullptr)
{
    intent_type intent = link_intent_of(action);
    if (record != nullptr)
        std::memcpy(intent.record, record, network_record_length);
    motion_submit(intent, now);
}

// The stream can carry nothing more: the window thread drops the client. Lock held.
void cut_locked()
{
    link_state.client_connected = false;
    link_intent(intent_action::link_fault);
    link_state.cut_socket = link_state.client_socket;
    link_state.backlog.clear();
    link_state.backlog_replies = 0;
}

// A send failed outright (the client has gone, or no longer reads): the robot stops. A stream left in the
// middle of a message is cut; otherwise the client may still drive. Lock held.
void fail_locked()
{
    if (!link_state.backlog.empty()) {
        cut_locked();
        return;
    }
    link_state.client_connected = false;
    link_intent(intent_action::link_fault);
}

// Sends what the backlog holds as far as the socket takes it; true once it is empty. Lock held.
bool flush_locked()
{
    if (link_state.backlog.empty())
        return true;
    int sent = socket_send(link_state.client_socket, link_state.backlog.data(), static_cast<int>(link_state.backlog.size()));
    if (sent < 0) {
        fail_locked();
        return false;
    }
    link_state.backlog.erase(link_state.backlog.begin(), link_state.backlog.begin() + sent);
    if (link_state.backlog.empty())
        link_state.backlog_replies = 0;
    return link_state.backlog.empty();
}

bool usable_locked()
{
    return link_state.client_socket >= 0 && link_state.client_socket != link_state.cut_socket;
}

// Sends what fits now and keeps the rest of the message in the backlog; true when the send failed.
// Lock held, backlog empty.
bool send_or_keep_locked(const unsigned char* data, int length)
{
    int sent = socket_send(link_state.client_socket, data, length);
    if (sent < 0) {
        fail_locked();
        return true;
    }
    link_state.backlog.insert(link_state.backlog.end(), data + sent, data + length);
    return false;
}

// A reply is never dropped: it queues behind the backlog. Lock held.
bool send_reply_locked(const unsigned char* data, int length)
{
    if (!usable_locked())
        return true;
    if (flush_locked())
        return send_or_keep_locked(data, length);
    if (!usable_locked())
        return true;
    if (link_state.backlog_replies + static_cast<size_t>(length) > backlog_reply_limit) {
        cut_locked();
        return true;
    }
    link_state.backlog.insert(link_state.backlog.end(), data, data + length);
    link_state.backlog_replies += static_cast<size_t>(length);
    return false;
}

// An image goes only onto an empty backlog; otherwise the reader is slow and loses it. Lock held.
bool send_image_locked(const unsigned char* data, int length)
{
    if (!usable_locked() || !flush_locked())
        return true;
    return send_or_keep_locked(data, length);
}

void hold_client(int socket, double now)
{
    {
        std::lock_guard<std::mutex> hold(link_state.send_lock);
        link_state.client_socket = socket;
    }
    network_parser_reset(link_state.incoming);
    event_loop_select_socket(socket, link_state.window, WM_SOCKET, network_event_mask);
    link_state.client_connected = true;
    link_state.last_client_time = now;
    link_now(intent_action::link_connect, now);
}

void close_client()
{
    std::lock_guard<std::mutex> hold(link_state.send_lock);
    socket_close(link_state.client_socket);
    link_state.client_socket = -1;
    link_state.cut_socket = -1;
    link_state.backlog.clear();
    link_state.backlog_replies = 0;
}

void network_disconnect(double now)
{
    add_line("Client disconnect");
    close_client();
    network_parser_reset(link_state.incoming);
    link_state.client_connected = false;
    link_now(intent_action::link_lost, now);
}

void network_handle(const network_request_type& request, double now)
{
    if (request.type == network_control_byte) {
        link_state.last_client_time = now;
        link_now(intent_action::link_record, now, request.record);
        network_send_telemetry();
    } else {
        // The reply goes first: the camera thread may have the image on its way within microseconds.
        network_send_telemetry();
        network_send_image();
    }
}

// The steps of network_start after the socket exists; false once a step has failed and said so.
bool network_listen()
{
    if (socket_set_nonblocking(link_state.listen_socket) != 0) {
        add_line("Unable to listen");
        return false;
    }
    int bound = socket_bind(link_state.listen_socket, link_state.address.c_str(), network_port);
    if (bound == -2) {
        add_line("Unable to bind: listen_address %s is not an IPv4 address", link_state.address.c_str());
        return false;
    }
    if (bound != 0) {
        add_line("Unable to bind");
        return false;
    }
    if (socket_set_nodelay(link_state.listen_socket) != 0) {
        add_line("Unable to set TCP_NODELAY");
        return false;
    }
    if (socket_listen(link_state.listen_socket, 1) != 0) {
        add_line("Unable to listen");
        return false;
    }
    return true;
}

void watch_listener()
{
    event_loop_select_socket(link_state.listen_socket, link_state.window, WM_SOCKET, network_event_mask);
}

// Stops watching the listening socket for a while; network_check watches it again.
void pause_accepting(double now)
{
    event_loop_select_socket(link_state.listen_socket, nullptr, 0, 0);
    link_state.accept_paused = true;
    link_state.accept_resume_time = now + accept_pause_seconds;
}

void resume_accepting_when_due(double now)
{
    if (!link_state.accept_paused || link_state.listen_socket < 0 || now < link_state.accept_resume_time)
        return;
    link_state.accept_paused = false;
    watch_listener();
}

// A cut stream (seen after a send) ends the connection on the window thread, where the slot is managed.
void drop_cut_client(double now)
{
    if (link_state.client_socket >= 0 && link_state.client_socket == link_state.cut_socket)
        network_disconnect(now);
}

} // namespace

bool network_parser_next(network_parser_type& parser, const unsigned char* data, unsigned int length,
                         unsigned int& position, network_request_type& request)
{
    if (parser.pending_length > 0) {
        while (parser.pending_length < network_control_length && position < length)
            parser.pending[parser.pending_length++] = data[position++];
        if (parser.pending_length < network_control_length)
            return false;
        request.type = network_control_byte;
        std::memcpy(request.record, parser.pending + 1, network_record_length);
        parser.pending_length = 0;
        return true;
    }
    while (position < length) {
        unsigned char type = data[position];
        if (type == network_image_byte) {
            request.type = network_image_byte;
            position++;
            return true;
        }
        if (type != network_control_byte) {
            position++;
            continue;
        }
        if (length - position < network_control_length) {
            // The rest of the chunk starts a control message: at most 7 bytes wait for the next chunk.
            while (position < length)
                parser.pending[parser.pending_length++] = data[position++];
            return false;
        }
        request.type = network_control_byte;
        std::memcpy(request.record, data + position + 1, network_record_length);
        position += network_control_length;
        return true;
    }
    return false;
}

void network_parser_reset(network_parser_type& parser)
{
    parser.pending_length = 0;
}

void network_start(window_handle window, const std::string& address)
{
    link_state.address = address;
    log_write("Network - Start");
    link_state.window = window;
    link_state.listen_socket = socket_open();
    if (link_state.listen_socket == -1) {
        add_line("Socket error");
        return;
    }
    if (!network_listen())
        return;
    link_state.accept_paused = false;
    watch_listener();
    if (!link_state.address.empty())
        add_line("Network - Listening on %s only", link_state.address.c_str());
    add_line("Network Online");
}

void network_stop()
{
    log_write("Network - Stop");
    close_client();
    socket_close(link_state.listen_socket);
    // The handles are cleared, not kept: a later send must not reach whatever reuses the number.
    link_state.listen_socket = -1;
    link_state.accept_paused = false;
    network_parser_reset(link_state.incoming);
    link_now(intent_action::link_lost, get_time());
}

void network_message(uintptr_t socket, intptr_t event)
{
    double now = get_time();
    switch (static_cast<long>(event & 0xFFFF)) {
    case FD_ACCEPT:
        network_accept(now);
        break;
    case FD_READ:
        if (link_state.client_socket >= 0 && socket == static_cast<uintptr_t>(link_state.client_socket))
            network_read(now);
        break;
    case FD_CLOSE:
        network_disconnect(now);
        break;
    default:
        break;
    }
}

void network_accept(double now)
{
    char peer[socket_address_size];
    if (link_state.client_socket != -1 && now - link_state.last_client_time > slot_silence_seconds) {
        add_line("Client silent for %.0f s: its place goes to the newcomer", slot_silence_seconds);
        network_disconnect(now);
    }
    if (link_state.client_socket == -1) {
        int socket = socket_accept(link_state.listen_socket, peer, sizeof peer);
        if (socket == -1) {
            add_line("Accept error.");
            pause_accepting(now);
            return;
        }
        add_line("Connection from: %s", peer);
        hold_client(socket, now);
        return;
    }
    socket_close(socket_accept(link_state.listen_socket, peer, sizeof peer));
    add_line("Another client attempted to connect");
    pause_accepting(now);
}

void network_read(double now)
{
    unsigned char chunk[network_chunk_size];
    int count = socket_recv(link_state.client_socket, chunk, sizeof chunk);
    if (count <= 0)
        return;
    unsigned int position = 0;
    network_request_type request;
    while (link_state.client_socket != link_state.cut_socket &&
           network_parser_next(link_state.incoming, chunk, static_cast<unsigned int>(count), position, request))
        network_handle(request, now);
    drop_cut_client(now);
}

void network_check(double now)
{
    resume_accepting_when_due(now);
    {
        std::lock_guard<std::mutex> hold(link_state.send_lock);
        if (usable_locked())
            flush_locked();
    }
    drop_cut_client(now);
}

void network_send_telemetry()
{
    unsigned char message[network_telemetry_length] = {};  // bytes 11 to 20 carry no data and stay 0
    message[0] = network_telemetry_byte;
    robot.get_telemetry(message + 1);
    std::lock_guard<std::mutex> hold(link_state.send_lock);
    send_reply_locked(message, sizeof message);
}

void network_set_image_requests(std::function<void()> request)
{
    link_state.image_request = std::move(request);
}

void network_send_image()
{
    if (link_state.image_request)
        link_state.image_request();
}

bool network_send(const unsigned char* data, unsigned int length)
{
    if (length > static_cast<unsigned int>(INT_MAX))
        return true;
    std::lock_guard<std::mutex> hold(link_state.send_lock);
    return send_image_locked(data, static_cast<int>(length));
}

size_t network_backlog_size()
{
    std::lock_guard<std::mutex> hold(link_state.send_lock);
    return link_state.backlog.size();
}

bool network_client_held()
{
    return link_state.client_socket >= 0;
}

void network_attach_client(int socket, double now)
{
    if (link_state.client_socket != -1)
        close_client();
    socket_set_nonblocking(socket);
    hold_client(socket, now);
}

// The event loop on poll(2) with an eventfd wake-up: posted messages, socket events, window input,
// timers and paints, one at a time on the window thread.
#include "platform/event_loop.h"

#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/window_backend.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

namespace {

struct posted_message {
    window_handle window;
    unsigned int message;
    uintptr_t wparam;
    intptr_t lparam;
};

struct timer_record {
    window_handle window;
    unsigned int id;
    double period;     // seconds
    double due;        // clock time of the next tick
    bool pending;      // a tick is waiting for delivery; a second one is not queued
};

struct socket_record {
    int socket;
    window_handle window;
    unsigned int message;
    long mask;
    bool listening;     // accepts connections: readable means FD_ACCEPT
    bool read_armed;    // FD_READ is reported again only after the owner has received
    bool closed;        // FD_CLOSE was reported; the socket is no longer watched
};

int wake_fd = -1;                          // eventfd that ends the wait in poll
// The loop's state; wake_fd and close_signal stay apart, as the signal handler touches them.
struct loop_state_type {
    std::mutex posted_lock;                     // guards posted
    std::vector<posted_message> posted;        // messages from any thread, in order
    std::vector<timer_record> timers;          // window thread only
    std::vector<socket_record> sockets;        // window thread only
    std::atomic<bool> quit{false};             // the quit message has been posted
    std::atomic<int> quit_code{0};
};

loop_state_type loop;

volatile sig_atomic_t close_signal = 0;    // SIGINT or SIGTERM arrived

void on_close_signal(int)
{
    close_signal = 1;
    if (wake_fd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(wake_fd, &one, sizeof one);
        (void)ignored;
    }
}

void dispatch(const posted_message& m)
{
    if (m.window == nullptr || !window_alive(m.window))
        return;
    window_send(m.window, m.message, m.wparam, m.lparam);
}

bool deliver_posted()
{
    // The loop turns a hundred times a second: the two vectors trade places and keep their storage, so a
    // turn allocates nothing once they have grown to the largest burst of messages.
    static std::vector<posted_message> batch;
    batch.clear();
    {
        std::lock_guard<std::mutex> hold(loop.posted_lock);
        if (loop.posted.empty())
            return false;
        batch.swap(loop.posted);
    }
    for (const posted_message& m : batch) {
        if (loop.quit)
            break;
        dispatch(m);
    }
    return !batch.empty();
}

void mark_due_timers(double now)
{
    for (timer_record& t : loop.timers) {
        if (now < t.due)
            continue;
        t.pending = true;
        t.due += t.period;
        if (t.due <= now)
            t.due = now + t.period;  // a late tick is not made up
    }
}

void deliver_timers()
{
    mark_due_timers(clock_seconds());
    for (size_t i = 0; i < loop.timers.size() && !loop.quit; i++) {
        if (!loop.timers[i].pending)
            continue;
        loop.timers[i].pending = false;
        posted_message m{loop.timers[i].window, WM_TIMER, loop.timers[i].id, 0};
        dispatch(m);  // may add or remove timers; the index stays within the vector
    }
}

void handle_close_signal()
{
    if (!close_signal)
        return;
    close_signal = 0;
    window_handle main = window_main();
    if (main != nullptr)
        window_send(main, WM_CLOSE, 0, 0);
    else
        event_loop_post_quit(0);
}

// Seconds until the loop must wake: the next timer, or the next drain of the window library's input.
double wait_timeout()
{
    {
        std::lock_guard<std::mutex> hold(loop.posted_lock);
        if (!loop.posted.empty())
            return 0;
    }
    double now = clock_seconds();
    double wait = 1.0;
    for (const timer_record& t : loop.timers)
        wait = std::min(wait, t.due - now);
    if (window_needs_input_polling())
        wait = std::min(wait, 0.010);
    return std::max(wait, 0.0);
}

long socket_event(socket_record& s)
{
    if (s.listening)
        return FD_ACCEPT;
    unsigned char byte;
    ssize_t n = recv(s.socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
        return s.read_armed ? FD_READ : 0;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return 0;
    return FD_CLOSE;
}

void deliver_socket(int socket, short revents)
{
    auto it = std::find_if(loop.sockets.begin(), loop.sockets.end(), [&](const socket_record& s) { return s.socket == socket; });
    if (it == loop.sockets.end() || it->closed || revents == 0)
        return;
    long event = socket_event(*it);
    if (event == FD_READ)
        it->read_armed = false;
    if (event == FD_CLOSE)
        it->closed = true;
    if (event == 0 || (it->mask & event) == 0)
        return;
    posted_message m{it->window, it->message, static_cast<uintptr_t>(socket), event};
    dispatch(m);
}

void wait_and_deliver_sockets(double timeout)
{
    static std::vector<pollfd> fds;  // kept between turns so its storage is reused
    fds.clear();
    fds.push_back({wake_fd, POLLIN, 0});
    // Connections before listeners: a client that closes and at once connects again finds its slot freed
    // by the close, not refused by the accept that the same wait reported first.
    for (bool listeners : {false, true}) {
        for (const socket_record& s : loop.sockets) {
            if (s.listening != listeners || s.closed || (!s.listening && !s.read_armed && (s.mask & FD_CLOSE) == 0))
                continue;
            short events = s.listening || s.read_armed ? POLLIN : POLLRDHUP;
            fds.push_back({s.socket, static_cast<short>(events | POLLRDHUP), 0});
        }
    }
    // ppoll waits to the microsecond, so a 10 ms timer does not drift by a rounded-up millisecond.
    timespec wait{static_cast<time_t>(timeout), static_cast<long>((timeout - static_cast<time_t>(timeout)) * 1e9)};
    int ready = ppoll(fds.data(), fds.size(), &wait, nullptr);
    if (ready <= 0)
        return;
    if (fds[0].revents != 0) {
        uint64_t count;
        ssize_t ignored = read(wake_fd, &count, sizeof count);
        (void)ignored;
    }
    for (size_t i = 1; i < fds.size() && !loop.quit; i++)
        deliver_socket(fds[i].fd, fds[i].revents);
}

} // namespace

void event_loop_start()
{
    if (wake_fd >= 0)
        return;
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    struct sigaction action{};
    action.sa_handler = on_close_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int event_loop_run()
{
    event_loop_start();
    loop.quit = false;
    while (!loop.quit) {
        deliver_posted();
        handle_close_signal();
        if (!loop.quit)
            window_pump_input();
        if (!loop.quit)
            deliver_timers();
        if (!loop.quit)
            window_deliver_paints();
        if (!loop.quit)
            wait_and_deliver_sockets(wait_timeout());
    }
    return loop.quit_code;
}

void event_loop_post_quit(int exit_code)
{
    loop.quit = true;
    loop.quit_code = exit_code;
    event_loop_wake();
}

void event_loop_post(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    {
        std::lock_guard<std::mutex> hold(loop.posted_lock);
        loop.posted.push_back({window, message, wparam, lparam});
    }
    event_loop_wake();
}

void event_loop_wake()
{
    if (wake_fd < 0)
        return;
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd, &one, sizeof one);
    (void)ignored;
}

void event_loop_set_timer(window_handle window, unsigned int id, unsigned int period_ms)
{
    double period = std::max(1u, period_ms) / 1000.0;
    for (timer_record& t : loop.timers) {
        if (t.window == window && t.id == id) {
            t.period = period;
            t.due = clock_seconds() + period;
            return;
        }
    }
    loop.timers.push_back({window, id, period, clock_seconds() + period, false});
}

void event_loop_kill_timer(window_handle window, unsigned int id)
{
    std::erase_if(loop.timers, [&](const timer_record& t) { return t.window == window && t.id == id; });
}

void event_loop_kill_timers(window_handle window)
{
    std::erase_if(loop.timers, [&](const timer_record& t) { return t.window == window; });
}

void event_loop_select_socket(int socket, window_handle window, unsigned int message, long mask)
{
    std::erase_if(loop.sockets, [&](const socket_record& s) { return s.socket == socket; });
    if (mask == 0 || socket < 0)
        return;
    int accepting = 0;
    socklen_t size = sizeof accepting;
    bool listening = getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) == 0 && accepting != 0;
    loop.sockets.push_back({socket, window, message, mask, listening, true, false});
}

void event_loop_socket_rearm(int socket)
{
    for (socket_record& s : loop.sockets)
        if (s.socket == socket)
            s.read_armed = true;
}

// The event loop on Windows: the thread's own message loop. Posted messages, timers (SetTimer), socket
// events (WSAAsyncSelect) and input all arrive as window messages; paints asked for by the window layer
// are delivered between two messages, and Ctrl-C becomes a close request to the main window.
#include "platform/event_loop.h"

#include "platform/window_backend.h"
#include "platform/win32/internal.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

// A thread message that only ends the wait in GetMessage, so the loop turns and delivers paints.
constexpr UINT wake_message = WM_APP + 0x3F00;
// How long a console close, log-off or shut-down may wait for the shutdown sequence: Windows ends the
// process five seconds after the event, whatever the handler does.
constexpr DWORD console_close_wait_ms = 4500;

struct timer_record {
    window_handle window;
    unsigned int id;
};

struct socket_record {
    int socket;
    window_handle window;
    HWND native;        // the window the notifications go to, for cancelling them
    unsigned int message;
    long mask;
};

std::atomic<DWORD> loop_thread{0};       // the window thread: the one that started the loop
std::atomic<bool> started{false};
std::atomic<bool> quit{false};           // the quit message has been posted
std::atomic<int> quit_code{0};
HANDLE loop_idle = nullptr;              // manual-reset event: set while event_loop_run is not running
std::vector<timer_record> timers;        // window thread only
std::vector<socket_record> sockets;      // window thread only
std::vector<unsigned int> socket_messages; // every message number sockets have been told to use

bool on_loop_thread()
{
    return GetCurrentThreadId() == loop_thread.load();
}

// Runs on a thread of its own, made by the system for each console event.
BOOL WINAPI on_console_event(DWORD event)
{
    window_handle main = window_main();
    if (main != nullptr)
        event_loop_post(main, WM_CLOSE, 0, 0);
    else
        event_loop_post_quit(0);
    // The process ends as soon as this returns for these events: let the shutdown sequence run first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(loop_idle, console_close_wait_ms);
    return TRUE;
}

// One message from the queue, translated and dispatched; false when the quit message was taken.
bool dispatch_next()
{
    MSG msg;
    BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == 0) {
        // A quit message posted past this layer (PostQuitMessage) carries its own exit code.
        if (!quit)
            quit_code = static_cast<int>(msg.wParam);
        return false;
    }
    if (got < 0)
        return false;
    if (msg.hwnd == nullptr && msg.message == wake_message)
        return true;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return true;
}

// A quit message left in the queue would end the next run at once.
void drop_quit_message()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

} // namespace

void event_loop_start()
{
    if (started.exchange(true))
        return;
    loop_thread = GetCurrentThreadId();
    // The thread's queue exists from here on, so other threads can post to it before the loop runs.
    MSG msg;
    PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    loop_idle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    // The 10 ms timer needs a 1 ms system tick: the default 15.6 ms would stretch every period to 15.6.
    timeBeginPeriod(1);
}

int event_loop_run()
{
    event_loop_start();
    quit = false;
    ResetEvent(loop_idle);
    while (!quit) {
        window_deliver_paints();
        if (quit || !dispatch_next())
            break;
    }
    quit = true;
    drop_quit_message();
    SetEvent(loop_idle);
    return quit_code;
}

void event_loop_post_quit(int exit_code)
{
    quit_code = exit_code;
    quit = true;
    if (on_loop_thread())
        PostQuitMessage(exit_code);
    else
        PostThreadMessageA(loop_thread, WM_QUIT, static_cast<WPARAM>(exit_code), 0);
}

void event_loop_post(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    HWND native = window_alive(window) ? win32_window_handle(window) : nullptr;
    if (native != nullptr)
        PostMessageA(native, message, wparam, lparam);
    else
        PostThreadMessageA(loop_thread, message, wparam, lparam);  // no window to take it: it only wakes the loop
}

void event_loop_wake()
{
    PostThreadMessageA(loop_thread, wake_message, 0, 0);
}

void event_loop_set_timer(window_handle window, unsigned int id, unsigned int period_ms)
{
    HWND native = win32_window_handle(window);
    if (native == nullptr)
        return;
    // The system's WM_TIMER is what the loop promises: generated only when the queue is otherwise empty,
    // never queued twice, a late tick not made up. Setting an existing id replaces its period.
    if (SetTimer(native, id, std::max<unsigned int>(period_ms, USER_TIMER_MINIMUM), nullptr) == 0)
        return;
    auto same = [&](const timer_record& t) { return t.window == window && t.id == id; };
    if (std::find_if(timers.begin(), timers.end(), same) == timers.end())
        timers.push_back({window, id});
}

void event_loop_kill_timer(window_handle window, unsigned int id)
{
    HWND native = win32_window_handle(window);
    if (native != nullptr)
        KillTimer(native, id);
    std::erase_if(timers, [&](const timer_record& t) { return t.window == window && t.id == id; });
}

void event_loop_kill_timers(window_handle window)
{
    HWND native = win32_window_handle(window);
    for (const timer_record& t : timers)
        if (t.window == window && native != nullptr)
            KillTimer(native, t.id);
    std::erase_if(timers, [&](const timer_record& t) { return t.window == window; });
}

void event_loop_select_socket(int socket, window_handle window, unsigned int message, long mask)
{
    auto it = std::find_if(sockets.begin(), sockets.end(), [&](const socket_record& s) { return s.socket == socket; });
    HWND previous = it != sockets.end() ? it->native : nullptr;
    if (it != sockets.end())
        sockets.erase(it);
    if (socket < 0)
        return;
    HWND native = mask != 0 ? win32_window_handle(window) : nullptr;
    if (native == nullptr) {
        if (previous != nullptr)
            WSAAsyncSelect(static_cast<SOCKET>(socket), previous, 0, 0);
        return;
    }
    if (WSAAsyncSelect(static_cast<SOCKET>(socket), native, message, mask) != 0)
        return;
    sockets.push_back({socket, window, native, message, mask});
    if (std::find(socket_messages.begin(), socket_messages.end(), message) == socket_messages.end())
        socket_messages.push_back(message);
}

void event_loop_socket_rearm(int)
{
    // Winsock re-enables FD_READ itself on every recv: nothing to do here.
}

bool win32_socket_message(platform_window* window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (std::find(socket_messages.begin(), socket_messages.end(), message) == socket_messages.end())
        return false;
    // Notifications already queued for a socket that has since been closed or is no longer watched (a
    // refused second client inherits the listener's notifications) are dropped, as the loop promises.
    auto it = std::find_if(sockets.begin(), sockets.end(), [&](const socket_record& s) {
        return static_cast<WPARAM>(s.socket) == wparam && s.message == message && s.window == window;
    });
    // Only the event code, as the loop reports it on every platform; the error half is not used above.
    long event = WSAGETSELECTEVENT(lparam);
    if (it != sockets.end() && (it->mask & event) != 0)
        window_send(window, message, wparam, event);
    return true;
}

// The event loop: posted messages from other threads, timer coalescing, socket events and paints.
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/messages.h"
#include "platform/window.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

// Counts the allocations made on a thread while it asks for them. Both sides are replaced, so every
// allocation and release meets its own kind (the sanitizers check that). GCC takes free() on memory from
// an operator new for a mismatch, though here the operator new is malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
thread_local bool count_allocations = false;
std::atomic<long> allocations{0};

void* operator new(std::size_t size)
{
    if (count_allocations)
        allocations++;
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    return memory;
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

constexpr unsigned int test_message = WM_USER + 50;
constexpr unsigned int stop_message = WM_USER + 51;

struct recorder_type {
    std::vector<unsigned int> messages;
    std::vector<uintptr_t> wparams;
    std::vector<intptr_t> lparams;
    std::vector<double> times;
    std::thread::id thread;
    bool receive_on_read = true;   // the socket handler receives what arrived
};

recorder_type* recorder = nullptr;

long record_proc(window_handle window, unsigned int message, uintptr_t wparam, intptr_t lparam)
{
    if (message == stop_message) {
        event_loop_post_quit(static_cast<int>(wparam));
        return 0;
    }
    if (message == WM_CREATE || message == WM_SIZE)
        return 0;
    recorder->messages.push_back(message);
    recorder->wparams.push_back(wparam);
    recorder->lparams.push_back(lparam);
    recorder->times.push_back(clock_seconds());
    recorder->thread = std::this_thread::get_id();
    if (message == WM_SOCKET && lparam == FD_READ && recorder->receive_on_read) {
        char buffer[64];
        ssize_t ignored = recv(static_cast<int>(wparam), buffer, sizeof buffer, 0);
        (void)ignored;
        event_loop_socket_rearm(static_cast<int>(wparam));
    }
    return window_default_proc(window, message, wparam, lparam);
}

class EventLoop : public testing::Test {
protected:
    void SetUp() override
    {
        window_system_start(true);
        window_register_class({"EventLoopTest", record_proc});
        recorder = &record;
        window = window_create("EventLoopTest", "test", 0, 0, 10, 10, nullptr);
    }
    void TearDown() override
    {
        window_destroy(window);
        recorder = nullptr;
    }
    // Runs the loop until stop_message arrives after the given delay.
    int run_for(int milliseconds, int exit_code = 0)
    {
        std::thread stopper([=, this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            event_loop_post(window, stop_message, static_cast<uintptr_t>(exit_code), 0);
        });
        int result = event_loop_run();
        stopper.join();
        return result;
    }
    size_t count(unsigned int message, intptr_t lparam = -1) const
    {
        size_t n = 0;
        for (size_t i = 0; i < record.messages.size(); i++)
            if (record.messages[i] == message && (lparam < 0 || record.lparams[i] == lparam))
                n++;
        return n;
    }

    recorder_type record;
    window_handle window = nullptr;
};

} // namespace

TEST_F(EventLoop, MessagesPostedFromOtherThreadsArriveInOrderOnTheLoopThread)
{
    std::vector<std::thread> posters;
    for (uintptr_t t = 0; t < 3; t++)
        posters.emplace_back([this, t] {
            for (intptr_t i = 0; i < 200; i++)
                event_loop_post(window, test_message, t, i);
        });
    for (auto& poster : posters)
        poster.join();
    EXPECT_EQ(run_for(50, 7), 7);
    ASSERT_EQ(count(test_message), 600u);
    EXPECT_EQ(record.thread, std::this_thread::get_id());
    intptr_t next[3] = {0, 0, 0};
    for (size_t i = 0; i < record.messages.size(); i++) {
        if (record.messages[i] != test_message)
            continue;
        ASSERT_EQ(record.lparams[i], next[record.wparams[i]]) << "thread " << record.wparams[i] << " out of order";
        next[record.wparams[i]]++;
    }
}

TEST_F(EventLoop, BusyThreadGetsOneLateTickNotABurst)
{
    static bool slept = false;
    slept = false;
    event_loop_set_timer(window, 1, 10);
    window_class_type busy{"BusyTimerTest", [](window_handle w, unsigned int m, uintptr_t wp, intptr_t lp) -> long {
                               long result = record_proc(w, m, wp, lp);
                               if (m == WM_TIMER && !slept) {
                                   slept = true;
                                   std::this_thread::sleep_for(std::chrono::milliseconds(55));
                               }
                               return result;
                           }};
    window_register_class(busy);
    window_handle busy_window = window_create("BusyTimerTest", "busy", 0, 0, 10, 10, nullptr);
    event_loop_set_timer(busy_window, 1, 10);
    event_loop_kill_timer(window, 1);
    run_for(200);
    window_destroy(busy_window);
    ASSERT_GE(record.times.size(), 4u);
    // The tick after the 55 ms stall comes at once; the one after it keeps the period, no make-up burst.
    EXPECT_GE(record.times[2] - record.times[1], 0.005);
    EXPECT_LT(record.times.size(), 20u);
}

TEST_F(EventLoop, TimerTicksCarryTheirIdAndStopWithTheWindow)
{
    event_loop_set_timer(window, 1, 10);
    event_loop_set_timer(window, 2, 1000);
    auto start = std::chrono::steady_clock::now();
    run_for(120);
    double ran_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    size_t ticks = count(WM_TIMER);
    EXPECT_GE(ticks, 3u);
    // At most one tick a period for as long as the loop really ran (a loaded machine wakes the stopper late).
    EXPECT_LE(ticks, static_cast<size_t>(ran_ms / 10) + 1) << ran_ms << " ms";
    for (size_t i = 0; i < record.messages.size(); i++) {
        if (record.messages[i] == WM_TIMER) {
            EXPECT_EQ(record.wparams[i], 1u);
        }
    }
}

TEST_F(EventLoop, SocketPairDeliversReadOnceUntilReceivedThenClose)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    event_loop_select_socket(pair[0], window, WM_SOCKET, FD_READ | FD_CLOSE);
    record.receive_on_read = false;
    ASSERT_EQ(write(pair[1], "abc", 3), 3);
    run_for(60);
    EXPECT_EQ(count(WM_SOCKET, FD_READ), 1u) << "an unread socket must not be reported again";

    record = recorder_type{};
    char buffer[8];
    ASSERT_EQ(recv(pair[0], buffer, sizeof buffer, 0), 3);
    event_loop_socket_rearm(pair[0]);
    ASSERT_EQ(write(pair[1], "d", 1), 1);
    close(pair[1]);
    run_for(60);
    EXPECT_EQ(count(WM_SOCKET, FD_READ), 1u);
    EXPECT_EQ(count(WM_SOCKET, FD_CLOSE), 1u);
    EXPECT_EQ(record.wparams.back(), static_cast<uintptr_t>(pair[0]));
    event_loop_select_socket(pair[0], nullptr, 0, 0);
    close(pair[0]);
}

TEST_F(EventLoop, PaintRequestsFromAnyThreadCoalesce)
{
    std::thread painter([this] {
        for (int i = 0; i < 50; i++)
            window_invalidate(window);
    });
    painter.join();
    run_for(30);
    EXPECT_EQ(count(WM_PAINT), 1u);
}

TEST_F(EventLoop, SigtermIsACloseRequestThatDestroysTheMainWindow)
{
    window_class_type closing{"ClosingTest", [](window_handle w, unsigned int m, uintptr_t wp, intptr_t lp) -> long {
                                  if (m == WM_DESTROY)
                                      event_loop_post_quit(3);
                                  return record_proc(w, m, wp, lp);
                              }};
    window_register_class(closing);
    window_destroy(window);  // the closing window becomes the main window
    record = recorder_type{};
    window_handle main = window_create("ClosingTest", "main", 0, 0, 10, 10, nullptr);
    std::raise(SIGTERM);
    EXPECT_EQ(event_loop_run(), 3);
    EXPECT_FALSE(window_alive(main));
    EXPECT_EQ(count(WM_CLOSE), 1u);
    EXPECT_EQ(count(WM_DESTROY), 1u);
}

// A hundred turns a second for the whole run: once warm, a turn with ticks, posted messages, paints and
// the socket wait allocates nothing.
TEST_F(EventLoop, ATurnAllocatesNothingOnceWarm)
{
    static int ticks = 0;
    ticks = 0;
    allocations = 0;
    window_register_class({"QuietLoopTest", [](window_handle w, unsigned int m, uintptr_t wp, intptr_t lp) -> long {
                               if (m != WM_TIMER)
                                   return window_default_proc(w, m, wp, lp);
                               ticks++;
                               count_allocations = ticks > 5 && ticks <= 40;  // after the warm-up turns
                               event_loop_post(w, test_message, 0, 0);
                               window_invalidate(w);
                               if (ticks == 41)
                                   event_loop_post_quit(0);
                               return 0;
                           }});
    window_handle quiet = window_create("QuietLoopTest", "quiet", 0, 0, 10, 10, nullptr);
    event_loop_set_timer(quiet, 1, 10);
    event_loop_run();
    count_allocations = false;
    window_destroy(quiet);
    EXPECT_EQ(ticks, 41);
    EXPECT_EQ(allocations, 0) << "allocations on the loop's turns";
}

// Taps: a list of listeners that readers share while publishing and writers change alone.
#include "services/taps.h"

#include "services/time.h"

#include <atomic>
#include <map>
#include <mutex>
#include <shared_mutex>

namespace {

struct taps_state_type {
    std::shared_mutex lock;              // guards listeners; held shared through each publish
    std::map<int, tap_listener> listeners;    // by handle
    int next_handle = 1;                      // under taps_lock
    std::atomic<int> listener_count{0};       // listeners.size(), read without the lock
};

taps_state_type taps;


} // namespace

int tap_add(tap_listener listener)
{
    std::unique_lock<std::shared_mutex> hold(taps.lock);
    int handle = taps.next_handle++;
    taps.listeners[handle] = std::move(listener);
    taps.listener_count = static_cast<int>(taps.listeners.size());
    return handle;
}

void tap_remove(int handle)
{
    // Waits for every publish in progress, so the listener is not running when this returns.
    std::unique_lock<std::shared_mutex> hold(taps.lock);
    taps.listeners.erase(handle);
    taps.listener_count = static_cast<int>(taps.listeners.size());
}

bool tap_wanted()
{
    return taps.listener_count.load(std::memory_order_relaxed) > 0;
}

void tap_publish(const tap_event_type& event)
{
    if (!tap_wanted())
        return;
    std::shared_lock<std::shared_mutex> hold(taps.lock);
    for (auto& [handle, listener] : taps.listeners)
        listener(event);
}

void tap_publish_text(tap_kind kind, const char* text, size_t length)
{
    if (!tap_wanted())
        return;
    tap_event_type event;
    event.kind = kind;
    event.time = get_time();
    event.data = reinterpret_cast<const unsigned char*>(text);
    event.length = length;
    tap_publish(event);
}

void tap_publish_packet(tap_kind kind, int device, const unsigned char* data, int length)
{
    if (!tap_wanted() || length < 0)
        return;
    tap_event_type event;
    event.kind = kind;
    event.time = get_time();
    event.data = data;
    event.length = static_cast<size_t>(length);
    event.device = device;
    tap_publish(event);
}

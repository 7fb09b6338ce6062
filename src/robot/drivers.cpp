// The intake of the drivers' intents: one queue under one lock, in the order of arrival, kept small by
// merging what a later intent makes needless, and one wake-up of the window thread per batch.
#include "robot/drivers.h"

#include "platform/event_loop.h"
#include "services/time.h"
#include "services/log.h"

#include <atomic>
#include <map>
#include <mutex>

namespace {

constexpr size_t queue_bound = 1024;  // intents waiting; past it a drive is dropped, never a STOP or a leave
constexpr double stop_log_period = 1.0;
constexpr int published_kind_shift = 56;
constexpr uint64_t published_id_mask = (uint64_t{1} << published_kind_shift) - 1;

struct intake_type {
    std::mutex lock;                               // guards every field up to the atomics
    std::vector<intent_type> queue;                // waiting, in the order of arrival
    std::map<driver_id_type, size_t> drive_slots;  // each driver's drive since the last other intent
    uint64_t order = 0;                            // the last order stamped
    long dropped = 0;                              // drives dropped past the bound, not yet logged
    long stops_unlogged = 0;                       // STOPs not yet counted in a log line
    driver_id_type last_stopper;                   // the newest of them
    double stop_log_time = -1e9;                   // the last STOP line
    std::atomic<platform_window*> window{nullptr}; // receives WM_DRIVERS
    std::atomic<uint64_t> wakeups{0};              // WM_DRIVERS posts asked for
    std::atomic<uint64_t> published{0};            // the current driver: kind above the shift, id below
    std::atomic<bool> published_remote{false};     // remote_mode
    std::atomic<bool> published_link{false};       // the operator link holds a client
};

intake_type intake;

void log_stops_due(double now)
{
    long count = intake.stops_unlogged;
    if (count == 0 || now - intake.stop_log_time < stop_log_period)
        return;
    std::string who = driver_label(intake.last_stopper);
    if (count == 1)
        log_write("STOP from %s", who.c_str());
    else
        log_write("STOP from %s and others: %ld more STOPs", who.c_str(), count);
    intake.stops_unlogged = 0;
    intake.stop_log_time = now;
}

// Adds the intent to the queue, or merges it into one waiting there. Lock held; true when the queue was empty.
bool enqueue(intent_type& intent)
{
    bool was_empty = intake.queue.empty();
    intent.order = ++intake.order;
    if (intent.action == intent_action::drive) {
        auto slot = intake.drive_slots.find(intent.who);
        if (slot != intake.drive_slots.end() &&
            intake.queue[slot->second].command.holds() == intent.command.holds()) {
            // Nothing came between, and it still holds or still lets go: the newer says all the older said.
            // A release before a press is kept: letting go is what sets a held driver free.
            intake.queue[slot->second].command = intent.command;
            return false;
        }
        if (intake.queue.size() >= queue_bound) {
            intake.dropped++;
            return false;
        }
        intake.drive_slots[intent.who] = intake.queue.size();
        intake.queue.push_back(intent);
        return was_empty;
    }
    intake.drive_slots.clear();
    if (intent.action == intent_action::stop && !was_empty && intake.queue.back().action == intent_action::stop)
        return false;  // two STOPs in a row stop as one
    intake.queue.push_back(intent);
    return was_empty;
}

void submit(intent_type intent)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(intake.lock);
        if (intent.action == intent_action::stop) {
            intake.stops_unlogged++;
            intake.last_stopper = intent.who;
            log_stops_due(get_time());
        }
        wake = enqueue(intent);
    }
    if (!wake)
        return;
    intake.wakeups++;
    if (platform_window* window = intake.window.load())
        event_loop_post(window, WM_DRIVERS, 0, 0);
}

intent_type make_intent(driver_kind kind, uint64_t id, intent_action action)
{
    intent_type intent;
    intent.who = {kind, id};
    intent.action = action;
    return intent;
}

} // namespace

void drivers_start(platform_window* window)
{
    intake.window = window;
}

void drivers_drive(driver_kind kind, uint64_t id, const drive_command_type& command)
{
    intent_type intent = make_intent(kind, id, intent_action::drive);
    intent.command = command;
    submit(intent);
}

void drivers_stop(driver_kind kind, uint64_t id)
{
    submit(make_intent(kind, id, intent_action::stop));
}

void drivers_leave(driver_kind kind, uint64_t id)
{
    submit(make_intent(kind, id, intent_action::leave));
}

void drivers_forget(driver_kind kind)
{
    {
        // What they still had waiting is void: they are gone.
        std::lock_guard<std::mutex> hold(intake.lock);
        std::erase_if(intake.queue, [kind](const intent_type& intent) {
            return intent.who.kind == kind && intent.action != intent_action::stop;
        });
        intake.drive_slots.clear();
    }
    submit(make_intent(kind, driver_every_id, intent_action::leave));
}

void drivers_submit(intent_type intent)
{
    submit(intent);
}

std::vector<intent_type> drivers_take()
{
    std::vector<intent_type> taken;
    long dropped = 0;
    {
        std::lock_guard<std::mutex> hold(intake.lock);
        taken.swap(intake.queue);
        intake.drive_slots.clear();
        dropped = intake.dropped;
        intake.dropped = 0;
    }
    if (dropped > 0)
        log_write("Drivers: %ld drive messages dropped: they came faster than they could be applied", dropped);
    return taken;
}

void drivers_report_stops()
{
    // On the clock the submissions read when they counted their STOPs.
    std::lock_guard<std::mutex> hold(intake.lock);
    log_stops_due(get_time());
}

void drivers_publish(const driver_id_type& current, bool remote, bool link)
{
    intake.published_link = link;
    intake.published = (static_cast<uint64_t>(current.kind) << published_kind_shift) | (current.id & published_id_mask);
    intake.published_remote = remote;
}

driver_kind drivers_current(uint64_t* id)
{
    uint64_t now = intake.published.load();
    if (id != nullptr)
        *id = now & published_id_mask;
    return static_cast<driver_kind>(now >> published_kind_shift);
}

bool drivers_remote()
{
    return intake.published_remote.load();
}

bool drivers_link_held()
{
    return intake.published_link.load();
}

uint64_t drivers_wakeups()
{
    return intake.wakeups.load();
}

// The one-driver table: submissions coalesced per driver under one lock, and the rules that decide who
// drives, applied on the window thread with the robot's own mixing and ramp.
#include "robot/drivers.h"

#include "app/time.h"
#include "app/utility.h"
#include "console/display.h"
#include "console/input.h"
#include "platform/event_loop.h"
#include "robot/robot.h"

#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace {

using driver_id = std::pair<driver_kind, uint64_t>;

// What one driver has submitted since the window thread last looked. A drive before a STOP still
// decides whether the STOP blocks the driver, so the newest drive on each side of the STOP is kept.
struct pending_type {
    std::optional<drive_command_type> before;  // the newest drive before the newest STOP
    bool stop = false;
    std::optional<drive_command_type> after;   // the newest drive after it
    bool leave = false;
};

// What the window thread knows of a remote driver that has sent something.
struct remote_type {
    drive_command_type command;  // its newest drive
    bool blocked = false;        // held something when it lost the robot: ignored until it releases
};

constexpr int published_kind_shift = 56;
constexpr uint64_t published_id_mask = (uint64_t{1} << published_kind_shift) - 1;
constexpr double stop_log_period = 1.0;

std::mutex pending_lock;                   // guards pending and the STOP log's count and time
std::map<driver_id, pending_type> pending; // at most one entry per driver
long stops_unlogged = 0;                   // STOPs not yet counted in a log line
driver_id last_stopper{driver_kind::none, 0};
double stop_log_time = -1e9;
std::atomic<platform_window*> wake_window{nullptr};
std::atomic<uint64_t> wakeups{0};
std::atomic<uint64_t> published{0};        // the current driver: its kind above published_kind_shift, its id below
std::atomic<bool> published_remote{false};

// The window thread's table.
std::map<driver_id, remote_type> remotes;  // at most the connected remote drivers: each one's leave removes it
driver_id current{driver_kind::none, 0};
bool link_held = false;
bool keyboard_held = false;     // a direction is held at the robot and drives
bool keyboard_blocked = false;  // a STOP came while it drove: the keys wait until all are released
bool moving = false;            // the current remote driver's motion is applied
double last_message = 0.0;      // the current remote driver's newest drive
double last_held = 0.0;         // its newest drive that held something

bool is_remote(driver_kind kind)
{
    return kind == driver_kind::browser || kind == driver_kind::foxglove || kind == driver_kind::mqtt;
}

unsigned long long id_number(const driver_id& who)
{
    return static_cast<unsigned long long>(who.second);
}

void publish()
{
    published = (static_cast<uint64_t>(current.first) << published_kind_shift) | (current.second & published_id_mask);
    published_remote = remote_mode;
}

void submit(const driver_id& who, void (*change)(pending_type&, const drive_command_type&),
            const drive_command_type& command)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(pending_lock);
        wake = pending.empty();
        change(pending[who], command);
    }
    if (!wake)
        return;
    wakeups++;
    if (platform_window* window = wake_window.load())
        event_loop_post(window, WM_DRIVERS, 0, 0);
}

double unit_value(double value)
{
    if (!std::isfinite(value))
        return 0.0;
    return value > 1.0 ? 1.0 : value < -1.0 ? -1.0 : value;
}

// Forward and turn share one budget, so that no side passes the full speed; straight ahead is straight.
void apply_proportional(double forward, double turn)
{
    forward = unit_value(forward);
    turn = unit_value(turn);
    double sum = std::fabs(forward) + std::fabs(turn);
    if (sum > 1.0) {
        forward /= sum;
        turn /= sum;
    }
    robot.set_motion(drivers_full_speed * turn, drivers_full_speed * forward / 2.0);
}

void apply_motion(const drive_command_type& command)
{
    moving = command.holds();
    if (!moving) {
        robot.reset_control();
        return;
    }
    if (command.proportional) {
        apply_proportional(command.forward, command.turn);
    } else {
        unsigned int keys = command.keys;
        motion_type motion =
            choose_motion(keys & drive_key_w, keys & drive_key_s, keys & drive_key_a, keys & drive_key_d);
        robot.set_motion(motion.turn, motion.forward);
    }
    input_check();  // one ramp step at once, as a key press at the robot takes
}

// The current remote driver stops driving; the robot goes back to what the link says.
void let_go()
{
    log("Drivers: %s %llu no longer drives", driver_name(current.first), id_number(current));
    current = link_held ? driver_id{driver_kind::link, 0} : driver_id{driver_kind::none, 0};
    moving = false;
    remote_mode = link_held;
}

// Remote drivers holding something when they lose the robot must let go and press again before they drive.
void block_holders()
{
    for (auto& [who, remote] : remotes)
        remote.blocked = remote.command.holds();
}

void apply_drive(const driver_id& who, const drive_command_type& command, double now)
{
    remote_type& remote = remotes[who];
    remote.command = command;
    if (remote.blocked || link_held || keyboard_held) {
        remote.blocked = command.holds();  // watching: a held direction waits for a fresh press
        return;
    }
    if (current != who) {
        if (current.first != driver_kind::none || !command.holds())
            return;
        current = who;
        remote_mode = true;
        log("Drivers: %s %llu drives", driver_name(who.first), id_number(who));
    }
    last_message = now;
    if (command.holds())
        last_held = now;
    apply_motion(command);
}

void apply_stop()
{
    robot.reset_control();
    block_holders();
    if (keyboard_held) {
        keyboard_held = false;
        keyboard_blocked = true;
        current = {driver_kind::none, 0};
    }
    if (is_remote(current.first))
        let_go();
}

void apply_leave(const driver_id& who)
{
    remotes.erase(who);
    if (current == who) {
        robot.reset_control();
        let_go();
    }
}

void log_stops_due(double now, const driver_id& who, long& count)
{
    if (count == 0 || now - stop_log_time < stop_log_period)
        return;
    if (count == 1)
        log("STOP from %s %llu", driver_name(who.first), id_number(who));
    else
        log("STOP from %s %llu and others: %ld more STOPs", driver_name(who.first), id_number(who), count);
    count = 0;
    stop_log_time = now;
}

// Called with pending_lock held: a STOP line at once, then at most one a second with the count.
void count_stop(const driver_id& who, double now)
{
    stops_unlogged++;
    last_stopper = who;
    log_stops_due(now, who, stops_unlogged);
}

} // namespace

bool drive_command_type::holds() const
{
    if (proportional)
        return unit_value(forward) != 0.0 || unit_value(turn) != 0.0;
    return (keys & (drive_key_w | drive_key_a | drive_key_s | drive_key_d)) != 0;
}

void drivers_start(platform_window* window)
{
    wake_window = window;
}

void drivers_drive(driver_kind kind, uint64_t id, const drive_command_type& command)
{
    submit({kind, id}, [](pending_type& entry, const drive_command_type& newest) {
        (entry.stop ? entry.after : entry.before) = newest;
    }, command);
}

void drivers_stop(driver_kind kind, uint64_t id)
{
    {
        std::lock_guard<std::mutex> hold(pending_lock);
        count_stop({kind, id}, get_time());
    }
    submit({kind, id}, [](pending_type& entry, const drive_command_type&) {
        if (entry.after)
            entry.before = entry.after;  // a drive between two STOPs counts as before the newest
        entry.after.reset();
        entry.stop = true;
    }, {});
}

void drivers_leave(driver_kind kind, uint64_t id)
{
    submit({kind, id}, [](pending_type& entry, const drive_command_type&) { entry.leave = true; }, {});
}

void drivers_message()
{
    drivers_apply(get_time());
}

void drivers_apply(double now)
{
    std::map<driver_id, pending_type> taken;
    {
        std::lock_guard<std::mutex> hold(pending_lock);
        taken.swap(pending);
    }
    for (const auto& [who, entry] : taken) {
        if (entry.before)
            apply_drive(who, *entry.before, now);
        if (entry.stop)
            apply_stop();
        if (entry.after)
            apply_drive(who, *entry.after, now);
        if (entry.leave)
            apply_leave(who);
    }
    publish();
}

void drivers_check(double now)
{
    {
        // The STOP lines keep the clock their submissions read.
        std::lock_guard<std::mutex> hold(pending_lock);
        log_stops_due(get_time(), last_stopper, stops_unlogged);
    }
    if (is_remote(current.first)) {
        if (moving && now - last_message > drivers_deadman) {
            add_line("Drivers: the driving %s fell silent", driver_name(current.first));
            robot.reset_control();
            moving = false;
        }
        if (now - last_held > drivers_idle)
            let_go();
    }
    publish();
}

void drivers_link(bool held)
{
    if (held == link_held)
        return;
    link_held = held;
    if (held && current.first != driver_kind::link && current.first != driver_kind::none) {
        // The link's first control message comes after this: nothing later may reset it.
        robot.reset_control();
        if (is_remote(current.first))
            let_go();
    }
    if (held)
        keyboard_held = false;
    block_holders();
    current = held ? driver_id{driver_kind::link, 0} : driver_id{driver_kind::none, 0};
    moving = false;
    remote_mode = held;
    publish();
}

bool drivers_keyboard(bool held)
{
    if (link_held)
        return false;
    if (keyboard_blocked) {
        keyboard_blocked = held;
        if (held)
            return false;
    }
    if (held) {
        if (is_remote(current.first)) {
            log("Drivers: the robot's keyboard takes over from %s %llu", driver_name(current.first),
                id_number(current));
            let_go();
            block_holders();
        }
        keyboard_held = true;
        current = {driver_kind::keyboard, 0};
        remote_mode = false;
        publish();
        return true;
    }
    keyboard_held = false;
    if (current.first == driver_kind::keyboard) {
        current = {driver_kind::none, 0};
        publish();
        return true;
    }
    return !is_remote(current.first);
}

void drivers_forget(driver_kind kind)
{
    {
        std::lock_guard<std::mutex> hold(pending_lock);
        std::erase_if(pending, [kind](const auto& entry) { return entry.first.first == kind; });
    }
    std::erase_if(remotes, [kind](const auto& entry) { return entry.first.first == kind; });
    if (current.first == kind && is_remote(kind)) {
        robot.reset_control();
        let_go();
    }
    publish();
}

driver_kind drivers_current(uint64_t* id)
{
    uint64_t now = published.load();
    if (id != nullptr)
        *id = now & published_id_mask;
    return static_cast<driver_kind>(now >> published_kind_shift);
}

bool drivers_remote()
{
    return published_remote.load();
}

uint64_t drivers_wakeups()
{
    return wakeups.load();
}

const char* driver_name(driver_kind kind)
{
    switch (kind) {
    case driver_kind::link: return "link";
    case driver_kind::keyboard: return "keyboard";
    case driver_kind::browser: return "browser";
    case driver_kind::foxglove: return "foxglove";
    case driver_kind::mqtt: return "mqtt";
    default: return "none";
    }
}

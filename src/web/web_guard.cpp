// The cap on connections without the token, and the slow-down of guessing.
#include "web/web_guard.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

web_gate_class& web_gate()
{
    static web_gate_class gate;
    return gate;
}

web_throttle_class& web_throttle()
{
    static web_throttle_class throttle;
    return throttle;
}

namespace {
web_refusals_class refusals;  // upgrades refused for their origin
}

namespace {

constexpr double first_wait = 0.25;

} // namespace

uint64_t web_gate_class::enter(std::function<void()> drop)
{
    std::function<void()> oldest;
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (static_cast<int>(waiting.size()) >= web_gate_limit) {
            oldest = std::move(waiting.begin()->second);
            waiting.erase(waiting.begin());
        }
        ticket = next_ticket++;
        waiting.emplace(ticket, std::move(drop));
    }
    if (oldest)
        oldest();  // outside the lock: it may end a session, which leaves the gate
    return ticket;
}

void web_gate_class::leave(uint64_t ticket)
{
    if (ticket == 0)
        return;
    std::lock_guard<std::mutex> hold(lock);
    waiting.erase(ticket);
}

int web_gate_class::count()
{
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<int>(waiting.size());
}

bool web_throttle_class::allowed(const std::string& address, double now)
{
    std::lock_guard<std::mutex> hold(lock);
    auto found = addresses.find(address);
    return found == addresses.end() || now >= found->second.wait_until;
}

void web_throttle_class::failed(const std::string& address, double now)
{
    std::lock_guard<std::mutex> hold(lock);
    unreported++;
    last_address = address;
    if (addresses.size() >= address_limit && addresses.find(address) == addresses.end())
        forget_old(now);
    if (addresses.size() >= address_limit && addresses.find(address) == addresses.end())
        return;  // counted, not slowed: the table stays bounded
    address_type& entry = addresses[address];
    if (now - entry.last > web_guess_memory)
        entry = address_type{};  // guesses long ago are forgiven
    entry.failures++;
    entry.last = now;
    int over = entry.failures - web_guess_free;
    if (over > 0)
        entry.wait_until = now + std::min(first_wait * std::pow(2.0, std::min(over - 1, 16)), web_guess_longest_wait);
}

void web_throttle_class::succeeded(const std::string& address)
{
    std::lock_guard<std::mutex> hold(lock);
    addresses.erase(address);
}

std::string web_throttle_class::report(double now)
{
    std::lock_guard<std::mutex> hold(lock);
    if (unreported == 0 || now - last_report < web_guess_report_period)
        return std::string();
    char line[200];
    std::snprintf(line, sizeof line, "Web console: wrong tokens since the last report: %lld, the last from %s",
                  unreported, last_address.c_str());
    unreported = 0;
    last_report = now;
    return line;
}

void web_throttle_class::forget_old(double now)
{
    std::erase_if(addresses, [now](const auto& entry) { return now - entry.second.last > web_guess_memory; });
}

std::string web_refusals_class::note(const std::string& origin, double now)
{
    {
        std::lock_guard<std::mutex> hold(lock);
        unreported++;
        last_origin = origin.substr(0, 120);
    }
    return report(now);
}

std::string web_refusals_class::report(double now)
{
    std::lock_guard<std::mutex> hold(lock);
    if (unreported == 0 || now - last_report < web_guess_report_period)
        return std::string();
    std::string line = "Web console: WebSocket upgrades refused for their origin since the last report: " +
                       std::to_string(unreported) + ", the last from " + last_origin +
                       " (web_origins lists the pages allowed)";
    unreported = 0;
    last_report = now;
    return line;
}

std::string web_guard_refused(const std::string& origin, double now)
{
    return refusals.note(origin, now);
}

std::string web_guard_refusals_report(double now)
{
    return refusals.report(now);
}

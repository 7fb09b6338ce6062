// The console's guard against those without the token: a cap on the connections that have not shown it,
// and a slow-down for an address that keeps guessing it, with a log line a minute counting the guesses.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

constexpr int web_gate_limit = 32;               // connections at once that have not shown the token
constexpr int web_guess_free = 5;                // wrong tokens an address may give before it is slowed
constexpr double web_guess_longest_wait = 30.0;  // seconds; the wait doubles with each further guess
constexpr double web_guess_memory = 600.0;       // seconds after its last guess an address is forgotten
constexpr double web_guess_report_period = 60.0;

// The connections that have not (yet) shown the token, oldest first. A newcomer to a full gate ends the
// oldest: whoever floods the console without the token holds a few dozen sockets, never more.
class web_gate_class {
public:
    // Admits a connection; `drop` ends it, should it become the oldest of a full gate. Returns its ticket.
    uint64_t enter(std::function<void()> drop);
    // The connection has shown the token, or has ended; 0 is ignored.
    void leave(uint64_t ticket);
    int count();

private:
    std::mutex lock;                                    // guards the two below
    std::map<uint64_t, std::function<void()>> waiting;  // by ticket, so the first is the oldest
    uint64_t next_ticket = 1;
};

// Wrong tokens by address. After web_guess_free of them an address waits before its next token is even
// looked at: a quarter of a second, doubling with every further wrong one up to web_guess_longest_wait.
class web_throttle_class {
public:
    // False while the address must wait (its request is refused without a look at its token).
    bool allowed(const std::string& address, double now);
    void failed(const std::string& address, double now);
    void succeeded(const std::string& address);
    // The log line due now: the wrong tokens since the last line, once web_guess_report_period has passed
    // since it; empty when none is due.
    std::string report(double now);

private:
    struct address_type {
        int failures = 0;
        double wait_until = 0.0;
        double last = 0.0;
    };
    void forget_old(double now);

    std::mutex lock;                                  // guards everything below
    std::map<std::string, address_type> addresses;    // at most address_limit
    static constexpr size_t address_limit = 4096;
    long long unreported = 0;                         // wrong tokens since the last line
    std::string last_address;                         // the address of the last of them
    double last_report = -web_guess_report_period;
};

// Upgrades refused for their origin: the first is logged at once, then one line a minute with the count.
class web_refusals_class {
public:
    // Counts one; the line due now, or empty.
    std::string note(const std::string& origin, double now);
    // The line due now for those counted since the last one, or empty.
    std::string report(double now);

private:
    std::mutex lock;                          // guards everything below
    long long unreported = 0;                 // refusals since the last line
    std::string last_origin;                  // the origin of the last of them
    double last_report = -web_guess_report_period;
};

// The console's own count of refused origins: the line due now, or empty.
std::string web_guard_refused(const std::string& origin, double now);
std::string web_guard_refusals_report(double now);

web_gate_class& web_gate();
web_throttle_class& web_throttle();

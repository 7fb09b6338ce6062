// When the controller thread sends its next command: the steady cycle, and with commands on change an
// extra command as soon as the command changes, never sooner than a minimum gap after the last one. A
// change to the neutral command (a stop, a release, a time-out) never waits for the gap.
#pragma once

constexpr double pacing_cycle = 0.1;        // seconds between the steady commands
constexpr double pacing_min_gap = 0.02;     // seconds from any command to an extra one

struct pacing_type {
    bool started = false;     // a command has been sent
    double last_sent = 0.0;   // when the last command went out, any kind
    double next_cycle = 0.0;  // when the next steady command is due
    bool pending = false;     // the command changed since the last one went out
    bool stopping = false;    // and the change is to the neutral command
};

// The time the next command is due (at or before now: send at once).
double pacing_due(const pacing_type& pacing);
// The command changed at some moment since the last send; neutral: it is now the neutral command.
void pacing_changed(pacing_type& pacing, bool neutral);
// A command went out at now; a steady one when it was due by the cycle, which then moves on.
void pacing_sent(pacing_type& pacing, double now);

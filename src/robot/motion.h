// The motion authority: the one writer of the robot's control record. On the window thread it applies
// the drivers' intents in their order of arrival by the motion rules, runs the speed ramp that every
// driver relies on, says what happened, and tells a refused driver why, at most once a second.
#pragma once

#include "robot/motion_rules.h"

#include <functional>
#include <string>

// Applies every waiting intent (WM_DRIVERS, and at once after a window-thread submission).
void motion_apply(double now);
// The 10 ms task: the timed rules (deadman, idle, the link's silence), then one step of the ramp.
void motion_check(double now);
// Window thread: submits the intent and applies it with everything that arrived before it.
void motion_submit(const intent_type& intent, double now);

// A refused driver of the kind is told why (window thread; the listener only copies and posts).
using motion_notice_listener = std::function<void(uint64_t id, const std::string& text)>;
void motion_listen(driver_kind kind, motion_notice_listener listener);

// One ramp step over dt seconds: each applied speed moves towards its target at a rate of 2 per second
// and never past it; a lower target is taken at once.
void motion_ramp(double dt);

// Window thread: the rules' state as it stands (tests and the status display read it).
const motion_state_type& motion_state();
// Back to the start-up state: nobody drives, nothing waits (tests).
void motion_reset();

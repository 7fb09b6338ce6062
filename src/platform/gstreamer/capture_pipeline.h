// Where the live video joins a running capture: its pipeline and the tee behind the source, for the
// video unit of this same backend only.
#pragma once

#include <gst/gst.h>

#include <mutex>

struct capture_type;

struct capture_branch_point_type {
    GstElement* pipeline = nullptr;  // null while the source is down
    GstElement* tee = nullptr;
    unsigned long generation = 0;    // changes whenever the pipeline is rebuilt: branches on the old one are gone
};

// Held while a branch is added to or removed from the pipeline; the capture takes it to drop or replace it.
std::mutex& capture_branch_lock(capture_type* capture);
// Call with the lock held.
capture_branch_point_type capture_branch_point(capture_type* capture);

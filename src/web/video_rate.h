// How fast the live video may go. Each viewer's link has an estimate of its own, moved by what its browser
// reports: down at once on heavy loss or a round trip that grows (a queue filling), down to the browser's own
// estimate (REMB) when that is well below what is sent, and up slowly, 8 % a second (25 % until the link first shows its limit), while the link is clear
// and up to twice what the encoder really sends. The one encoder
// follows the slowest viewer, never below a floor; and below what the capture's full picture needs at that
// bitrate, a ladder halves the frame rate, then the frame size, and climbs back when the bitrate allows.
// Pure: the feedback and the time come as arguments.
#pragma once

#include "platform/webrtc.h"

#include <vector>

constexpr double video_loss_high = 0.10;     // more lost than this: back off
constexpr double video_loss_clear = 0.05;    // less: the link may climb
constexpr double video_queue_limit = 0.05;   // seconds of round trip over the least heard: a queue fills
constexpr double video_climb = 1.08;         // the climb a second
constexpr double video_first_climb = 1.25;   // the climb a second until the link first shows its limit
constexpr double video_bits_per_pixel = 0.04;  // what a picture needs, per pixel and frame
constexpr double video_ladder_wait = 3.0;    // seconds on a step before climbing back up

struct video_limits_type {
    double floor_kbps = 150;
    double ceiling_kbps = 2000;
    double start_kbps = 300;
};

enum class video_verdict { clear, hold, congested };

struct video_link_type {
    double estimate_kbps = 0;
    double least_round_trip = 0;  // seconds: the link's own, without queues; creeps up, to follow a new route
    double last_at = 0;           // the previous feedback's time
    double cut_until = 0;         // no climbing before this, after backing off
    video_verdict verdict = video_verdict::clear;  // of the newest receiver report
    bool probing = true;          // no sign of the link's limit yet: climbs faster
};

struct video_ladder_type {
    int step = 0;      // 0: full picture; 1: half the frame rate; 2: half the rate and half the size
    double since = 0;  // when the step was taken
};

// A new viewer's link, starting at what the encoder sends now.
video_link_type video_link_start(double kbps, const video_limits_type& limits, double now);
void video_link_feedback(video_link_type& link, const webrtc_feedback_type& feedback, const video_limits_type& limits);
// The bitrate for the encoder all viewers share: the slowest viewer's, within the limits.
double video_shared_kbps(const std::vector<double>& estimates, const video_limits_type& limits);
// The encoding for that bitrate, for a capture of the given size and rate (0 when not known yet).
webrtc_encoding_type video_ladder_encoding(video_ladder_type& ladder, double kbps, int width, int height, int fps,
                                           double now);

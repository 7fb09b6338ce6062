// How fast the live video may go. Each viewer's link has an estimate of its own, moved by what its browser
// reports: down at once on heavy loss or a round trip that grows (a queue filling), down to the browser's own
// estimate (REMB) when that falls well below what is sent, and up while the link is clear, up to twice what
// the encoder really sends: 25 % a second before the link first shows its limit and again once past it (the
// link got better), 8 % after backing off, and 2 % near the limit, where a queue would build. The one
// encoder follows the slowest viewer, never below a floor; and where that bitrate does not carry the
// capture's full picture, a ladder halves the frame size, then the frame rate, and climbs back when the
// bitrate allows. What a step needs is learnt from the encoder itself: one that drops frames or overshoots
// to keep up has shown that the picture needs more. Pure: the feedback and the time come as arguments.
#pragma once

#include "platform/webrtc.h"

#include <vector>

constexpr double video_loss_high = 0.10;     // more lost than this: back off
constexpr double video_loss_clear = 0.05;    // less: the link may climb
constexpr double video_queue_limit = 0.05;   // seconds of round trip over the least heard: a queue fills
constexpr double video_climb = 1.08;         // the climb a second after backing off
constexpr double video_near_climb = 1.02;    // and near where the link showed its limit
constexpr double video_first_climb = 1.25;   // and until the link first shows its limit, or once well past it
constexpr double video_near_limit = 0.9;     // of what went through then: near the limit
constexpr double video_bits_per_pixel = 0.04;  // what a picture needs, per pixel and frame
constexpr double video_ladder_wait = 3.0;    // seconds on a step before climbing back up
constexpr double video_past_limit = 1.05;    // this far past the link's last limit, it climbs fast again
constexpr int video_ladder_steps = 3;

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
    double limit_kbps = 0;        // what went through when the link last showed its limit; 0: never
    double remb_kbps = 0;         // the browser's previous REMB
    double round_trip = 0;        // the newest round trip heard
    bool draining = false;        // backed off, and the queue has not been heard empty since
};

struct video_ladder_type {
    int step = 0;        // 0: full picture; 1: half the size; 2: half the size and half the frame rate
    double since = 0;    // when the step was taken
    double asked_kbps = 0;      // the bitrate last given to the encoder
    double short_since = 0;     // since when the encoder falls short of that; 0: it keeps up
    double shown_kbps = 0;      // what the step was seen to need meanwhile
    double learnt_kbps[video_ladder_steps] = {};  // what each step was seen to need; 0: not seen
    double learnt_at[video_ladder_steps] = {};    // when
};

// A new viewer's link, starting at what the encoder sends now.
video_link_type video_link_start(double kbps, const video_limits_type& limits, double now);
void video_link_feedback(video_link_type& link, const webrtc_feedback_type& feedback, const video_limits_type& limits);
// The bitrate for the encoder all viewers share: the slowest viewer's, within the limits.
double video_shared_kbps(const std::vector<double>& estimates, const video_limits_type& limits);
// The encoding for that bitrate, given the capture's size and rate (0 when not known yet) and what the
// encoder made of the frames it was given since the last feedback.
webrtc_encoding_type video_ladder_encoding(video_ladder_type& ladder, double kbps, const webrtc_feedback_type& feedback);
